#pragma once

#include <QLoggingCategory>

// Debug output of the job dialogs and the overwrite question ("kite.dialogs").
// Switch it with QT_LOGGING_RULES, e.g. "kite.dialogs.debug=false".
Q_DECLARE_LOGGING_CATEGORY(lcDialogs)
