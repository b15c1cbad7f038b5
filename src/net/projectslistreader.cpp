#include "net/projectslistreader.h"

#include "net/jsonread.h"

#include <QVarLengthArray>

#include <rapidjson/reader.h>

#include <cstring>

namespace ProjectsListReader {

namespace {

// The members of an element the merge reads.
enum class Member
{
    Other,
    DownloadEnabled,
    Status,
    Teamid,
    IsTrial,
    IsPaid,
    RestartCount,
    ServerDownload,
    Queued,
    Name,
    Id,
    ErrorText,
};

Member memberOf(const char* key, rapidjson::SizeType length)
{
    static const struct
    {
        const char* name;
        Member member;
    } members[] = {
        {"download_enabled", Member::DownloadEnabled}, {"status", Member::Status},
        {"teamid", Member::Teamid},                    {"isTrial", Member::IsTrial},
        {"isPaid", Member::IsPaid},                    {"restartDownloadCount", Member::RestartCount},
        {"server_download", Member::ServerDownload},   {"queued", Member::Queued},
        {"name", Member::Name},                        {"id", Member::Id},
        {"error_text", Member::ErrorText},
    };
    for (const auto& candidate : members) {
        if (std::strlen(candidate.name) == length && std::memcmp(candidate.name, key, length) == 0)
            return candidate.member;
    }
    return Member::Other;
}

// A member name's fingerprint (FNV-1a), to tell repeated names apart.
quint64 fingerprint(const char* text, rapidjson::SizeType length)
{
    quint64 hash = 14695981039346656037ULL;
    for (rapidjson::SizeType i = 0; i < length; ++i) {
        hash ^= static_cast<unsigned char>(text[i]);
        hash *= 1099511628211ULL;
    }
    return hash;
}

bool same(const char* text, rapidjson::SizeType length, const char* name)
{
    return std::strlen(name) == length && std::memcmp(text, name, length) == 0;
}

// One scalar as Qt's JSON values read it: a non-boolean is false, a
// non-string empty text, a number read to the last digit.
struct Scalar
{
    enum Kind { Null, Bool, Number, String } kind = Null;
    bool boolean = false;
    double number = 0;
    const char* text = nullptr;
    rapidjson::SizeType length = 0;

    bool isTrue() const { return kind == Bool && boolean; }
    QString string() const { return kind == String ? QString::fromUtf8(text, int(length)) : QString(); }
    QString textOrNumber() const { return kind == Number ? JsonRead::numberText(number) : string(); }
    int integer(int fallback) const
    {
        if (kind == Number)
            return JsonRead::wholeNumber(number, fallback);
        if (kind == String)
            return JsonRead::decimalText(string());
        return fallback;
    }
};

// The states a list repeats for every job share one text each.
QString stateText(const Scalar& value)
{
    static const QString states[] = {
        QStringLiteral("QUEUED"),    QStringLiteral("RENDERING"), QStringLiteral("RENDERED"),
        QStringLiteral("PAUSED"),    QStringLiteral("UPLOADING"), QStringLiteral("RENDERABLE"),
        QStringLiteral("ERROR_UPL"), QStringLiteral("ERROR_REND"), QStringLiteral("NONE"),
    };
    if (value.kind == Scalar::String) {
        for (const QString& state : states) {
            if (state.size() == int(value.length)
                && QLatin1String(value.text, int(value.length)) == state)
                return state;
        }
    }
    return value.string();
}

void apply(ProjectEntry& entry, Member member, const Scalar& value)
{
    switch (member) {
    case Member::DownloadEnabled:
        if (value.kind != Scalar::Null)
            entry.downloadEnabled = value.isTrue();
        break;
    case Member::Status: entry.status = stateText(value); break;
    case Member::Teamid: entry.teamid = value.integer(0); break;
    case Member::IsTrial: entry.isTrial = value.isTrue(); break;
    case Member::IsPaid:
        if (value.kind != Scalar::Null)
            entry.isPaid = value.isTrue();
        break;
    case Member::RestartCount: entry.restartCount = value.integer(0); break;
    case Member::ServerDownload:
        if (value.kind != Scalar::Null)
            entry.serverDownload = value.integer(1);
        break;
    case Member::Queued: entry.queued = value.isTrue(); break;
    case Member::Name: entry.name = value.textOrNumber(); break;
    case Member::Id: entry.id = value.textOrNumber(); break;
    case Member::ErrorText: entry.errorText = value.string(); break;
    case Member::Other: break;
    }
}

// Follows the plain form level by level; any other shape stops the parse.
class Handler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Handler>
{
public:
    explicit Handler(QVector<ProjectEntry>* entries)
        : m_entries(entries)
    {
    }

    bool complete() const { return m_level == Level::Done && m_action && m_projects; }

    bool StartObject()
    {
        switch (m_level) {
        case Level::Start: m_level = Level::Root; return true;
        case Level::Root: return take(RootKey::Data, Level::Data);
        case Level::List:
            m_entry = ProjectEntry();
            m_names.clear();
            m_level = Level::Element;
            return true;
        default: return false;
        }
    }
    bool EndObject(rapidjson::SizeType)
    {
        switch (m_level) {
        case Level::Root: m_level = Level::Done; return true;
        case Level::Data: m_level = Level::Root; return true;
        case Level::Element:
            m_entries->append(std::move(m_entry));
            m_level = Level::List;
            return true;
        default: return false;
        }
    }
    bool StartArray()
    {
        if (m_level != Level::Data || m_dataKey != DataKey::Projects || m_projects)
            return false;
        m_level = Level::List;
        return true;
    }
    bool EndArray(rapidjson::SizeType)
    {
        if (m_level != Level::List)
            return false;
        m_projects = true;
        m_level = Level::Data;
        return true;
    }
    bool Key(const char* text, rapidjson::SizeType length, bool)
    {
        switch (m_level) {
        case Level::Root:
            m_rootKey = same(text, length, "action") ? RootKey::Action
                : same(text, length, "data")         ? RootKey::Data
                                                     : RootKey::Other;
            return m_rootKey != RootKey::Other;
        case Level::Data:
            m_dataKey = same(text, length, "projects") ? DataKey::Projects : DataKey::Other;
            return m_dataKey == DataKey::Projects;
        case Level::Element: {
            // A name given twice is refused, as for every message; a
            // fingerprint shared by two names only sends the list the
            // general way.
            const quint64 name = fingerprint(text, length);
            if (m_names.contains(name))
                return false;
            m_names.append(name);
            m_member = memberOf(text, length);
            return true;
        }
        default: return false;
        }
    }

    bool Null() { return scalar(Scalar{}); }
    bool Bool(bool b)
    {
        Scalar value;
        value.kind = Scalar::Bool;
        value.boolean = b;
        return scalar(value);
    }
    bool RawNumber(const char* text, rapidjson::SizeType length, bool)
    {
        // Read as Qt reads numbers; one out of a double's range leaves the
        // text to Qt's parser, which refuses it.
        bool ok = false;
        Scalar value;
        value.kind = Scalar::Number;
        value.number = QByteArray::fromRawData(text, int(length)).toDouble(&ok);
        return ok && scalar(value);
    }
    bool String(const char* text, rapidjson::SizeType length, bool)
    {
        Scalar value;
        value.kind = Scalar::String;
        value.text = text;
        value.length = length;
        if (m_level == Level::Root && m_rootKey == RootKey::Action) {
            // One action, and it is this one; anything else goes Qt's way.
            if (m_action || !same(text, length, "getProjectStates"))
                return false;
            m_action = true;
            return true;
        }
        return scalar(value);
    }

private:
    enum class Level { Start, Root, Data, List, Element, Done };
    enum class RootKey { Other, Action, Data };
    enum class DataKey { Other, Projects };

    bool take(RootKey key, Level next)
    {
        if (m_rootKey != key || m_data)
            return false;
        m_data = true;
        m_level = next;
        return true;
    }
    // Scalars belong in elements only.
    bool scalar(const Scalar& value)
    {
        if (m_level != Level::Element)
            return false;
        apply(m_entry, m_member, value);
        return true;
    }

    QVector<ProjectEntry>* m_entries;
    ProjectEntry m_entry;
    QVarLengthArray<quint64, 16> m_names; // of the element being read
    Level m_level = Level::Start;
    RootKey m_rootKey = RootKey::Other;
    DataKey m_dataKey = DataKey::Other;
    Member m_member = Member::Other;
    bool m_action = false;
    bool m_data = false;
    bool m_projects = false;
};

} // namespace

bool read(const QByteArray& text, QVector<ProjectEntry>* entries)
{
    // Strings are checked as UTF-8, as Qt's parser does; numbers come as
    // their text, read above as Qt reads them; iterative, so that nesting
    // cannot exhaust the stack.
    constexpr unsigned flags = rapidjson::kParseValidateEncodingFlag | rapidjson::kParseNumbersAsStringsFlag
        | rapidjson::kParseIterativeFlag;
    QVector<ProjectEntry> read;
    Handler handler(&read);
    rapidjson::Reader reader;
    rapidjson::MemoryStream stream(text.constData(), size_t(text.size()));
    if (reader.Parse<flags>(stream, handler).IsError() || !handler.complete())
        return false;
    *entries = std::move(read);
    return true;
}

} // namespace ProjectsListReader
