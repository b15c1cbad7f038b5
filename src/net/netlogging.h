#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcNet)
Q_DECLARE_LOGGING_CATEGORY(lcRequestQueue)
