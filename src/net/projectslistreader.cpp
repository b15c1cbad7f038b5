#include "net/projectslistreader.h"

#include "net/jsonread.h"

#include <rapidjson/document.h>

#include <cstring>

namespace ProjectsListReader {

namespace {

using Value = rapidjson::Value;

bool is(const Value& key, const char* name)
{
    const size_t length = std::strlen(name);
    return key.GetStringLength() == length && std::memcmp(key.GetString(), name, length) == 0;
}

QString string(const Value& value)
{
    return QString::fromUtf8(value.GetString(), int(value.GetStringLength()));
}

// Read as Qt's JSON values read: a non-boolean is false, a non-string empty.
bool boolean(const Value& value)
{
    return value.IsBool() && value.GetBool();
}

QString text(const Value& value)
{
    if (value.IsString())
        return string(value);
    if (value.IsNumber())
        return JsonRead::numberText(value.GetDouble());
    return QString();
}

int integer(const Value& value, int fallback)
{
    if (value.IsNumber())
        return JsonRead::wholeNumber(value.GetDouble(), fallback);
    if (value.IsString())
        return JsonRead::decimalText(string(value));
    return fallback;
}

// Only flat elements are read here: a member holding an object or an array
// is no part of the plain form.
bool flat(const Value& element)
{
    if (!element.IsObject())
        return false;
    for (auto member = element.MemberBegin(); member != element.MemberEnd(); ++member) {
        if (member->value.IsObject() || member->value.IsArray())
            return false;
    }
    return true;
}

ProjectEntry entry(const Value& element)
{
    ProjectEntry entry;
    for (auto member = element.MemberBegin(); member != element.MemberEnd(); ++member) {
        const Value& key = member->name;
        const Value& value = member->value;
        if (is(key, "download_enabled")) {
            if (!value.IsNull())
                entry.downloadEnabled = boolean(value);
        } else if (is(key, "status")) {
            entry.status = value.IsString() ? string(value) : QString();
        } else if (is(key, "teamid")) {
            entry.teamid = integer(value, 0);
        } else if (is(key, "isTrial")) {
            entry.isTrial = boolean(value);
        } else if (is(key, "isPaid")) {
            if (!value.IsNull())
                entry.isPaid = boolean(value);
        } else if (is(key, "restartDownloadCount")) {
            entry.restartCount = integer(value, 0);
        } else if (is(key, "server_download")) {
            if (!value.IsNull())
                entry.serverDownload = integer(value, 1);
        } else if (is(key, "queued")) {
            entry.queued = boolean(value);
        } else if (is(key, "name")) {
            entry.name = text(value);
        } else if (is(key, "id")) {
            entry.id = text(value);
        } else if (is(key, "error_text")) {
            entry.errorText = value.IsString() ? string(value) : QString();
        }
    }
    return entry;
}

} // namespace

bool read(const QByteArray& text, QVector<ProjectEntry>* entries)
{
    // Strings are checked as UTF-8 and numbers read to the last digit, as
    // Qt's parser does; iterative, so that deep nesting cannot exhaust the stack.
    constexpr unsigned flags = rapidjson::kParseValidateEncodingFlag | rapidjson::kParseFullPrecisionFlag
        | rapidjson::kParseIterativeFlag;
    rapidjson::Document document;
    document.Parse<flags>(text.constData(), size_t(text.size()));
    if (document.HasParseError() || !document.IsObject() || document.MemberCount() != 2)
        return false;
    const auto action = document.FindMember("action");
    const auto data = document.FindMember("data");
    if (action == document.MemberEnd() || !action->value.IsString() || !is(action->value, "getProjectStates")
        || data == document.MemberEnd() || !data->value.IsObject() || data->value.MemberCount() != 1)
        return false;
    const auto projects = data->value.FindMember("projects");
    if (projects == data->value.MemberEnd() || !projects->value.IsArray())
        return false;
    const Value& list = projects->value;
    for (const Value& element : list.GetArray()) {
        if (!flat(element))
            return false;
    }
    entries->clear();
    entries->reserve(int(list.Size()));
    for (const Value& element : list.GetArray())
        entries->append(entry(element));
    return true;
}

} // namespace ProjectsListReader
