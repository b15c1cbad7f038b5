#pragma once

#include <QJsonObject>

class KiteSettings;

// The members of a login request: the account, this installation and the
// client's version.
QJsonObject loginData(const KiteSettings* settings);
