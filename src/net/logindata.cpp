#include "net/logindata.h"

#include "settings/kitesettings.h"

#include <QSysInfo>

QJsonObject loginData(const KiteSettings* settings)
{
    const QString beta = settings->isBeta ? QStringLiteral("1") : QStringLiteral("0");
    return QJsonObject{
        {QStringLiteral("user"), settings->username},
        {QStringLiteral("pass"), settings->password},
        {QStringLiteral("client"), QStringLiteral("kite")},
        {QStringLiteral("customFtpPass"), QStringLiteral("1")},
        {QStringLiteral("kiteId"), settings->kiteId},
        {QStringLiteral("kiteHostname"), settings->kiteHostname},
        {QStringLiteral("kiteOSName"), QSysInfo::prettyProductName()},
        {QStringLiteral("kiteVersion"), settings->versionPrefix + QString::number(settings->versionBuild)},
        {QStringLiteral("isBeta"), beta},
        {QStringLiteral("use30plugins"), beta},
    };
}
