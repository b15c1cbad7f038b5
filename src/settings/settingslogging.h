#pragma once

#include <QLoggingCategory>

// Debug output of the settings object ("kite.settings") and the echo of every
// log-file line ("kite.log"). Switch them with QT_LOGGING_RULES, e.g.
// "kite.log.debug=false".
Q_DECLARE_LOGGING_CATEGORY(lcSettings)
Q_DECLARE_LOGGING_CATEGORY(lcLog)
