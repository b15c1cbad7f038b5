#include "farmaccounts.h"

#include <QFile>
#include <QJsonDocument>

namespace {
bool fail(QString* error, const QString& text)
{
    if (error)
        *error = text;
    return false;
}

bool readAccount(const QJsonValue& value, int index, FarmAccount& account, QString* error)
{
    const QString where = QStringLiteral("account %1: ").arg(index);
    if (!value.isObject())
        return fail(error, where + QStringLiteral("not an object"));
    const QJsonObject object = value.toObject();
    const QJsonValue user = object.value(QStringLiteral("user"));
    const QJsonValue password = object.value(QStringLiteral("password"));
    if (!user.isString() || user.toString().isEmpty())
        return fail(error, where + QStringLiteral("\"user\" must be a non-empty string"));
    if (!password.isString())
        return fail(error, where + QStringLiteral("\"password\" must be a string"));

    const QJsonValue trial = object.value(QStringLiteral("isTrial"));
    const QJsonValue points = object.value(QStringLiteral("renderpoints"));
    const QJsonValue login = object.value(QStringLiteral("login"));
    if (!trial.isUndefined() && !trial.isBool())
        return fail(error, where + QStringLiteral("\"isTrial\" must be a bool"));
    if (!points.isUndefined() && !points.isDouble())
        return fail(error, where + QStringLiteral("\"renderpoints\" must be a number"));
    if (!login.isUndefined() && !login.isObject())
        return fail(error, where + QStringLiteral("\"login\" must be an object"));

    account.user = user.toString();
    account.password = password.toString();
    account.isTrial = trial.toBool();
    account.renderPoints = points.toDouble();
    account.login = login.toObject();
    return true;
}
} // namespace

bool FarmAccounts::fromJson(const QByteArray& json, FarmAccounts& accounts, QString* error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return fail(error, QStringLiteral("invalid JSON at offset %1: %2")
                               .arg(parseError.offset)
                               .arg(parseError.errorString()));
    QJsonArray list;
    if (document.isArray())
        list = document.array();
    else if (document.object().value(QStringLiteral("accounts")).isArray())
        list = document.object().value(QStringLiteral("accounts")).toArray();
    else
        return fail(error, QStringLiteral("expected an array of accounts or {\"accounts\": [...]}"));

    FarmAccounts result;
    for (int i = 0; i < list.size(); ++i) {
        FarmAccount account;
        if (!readAccount(list.at(i), i, account, error))
            return false;
        if (result.contains(account.user))
            return fail(error, QStringLiteral("account %1: duplicate user \"%2\"").arg(i).arg(account.user));
        result.insert(account);
    }
    accounts = result;
    return true;
}

bool FarmAccounts::fromFile(const QString& path, FarmAccounts& accounts, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(error, QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    if (!fromJson(file.readAll(), accounts, error)) {
        if (error)
            *error = path + QStringLiteral(": ") + *error;
        return false;
    }
    return true;
}

void FarmAccounts::insert(const FarmAccount& account)
{
    m_accounts.insert(account.user, account);
}

const FarmAccount* FarmAccounts::find(const QString& user) const
{
    const auto it = m_accounts.constFind(user);
    return it == m_accounts.constEnd() ? nullptr : &it.value();
}

FarmAccount* FarmAccounts::find(const QString& user)
{
    const auto it = m_accounts.find(user);
    return it == m_accounts.end() ? nullptr : &it.value();
}
