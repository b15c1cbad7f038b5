#pragma once

#include <QLoggingCategory>

// Debug output of the host's command channel on standard input
// ("kite.host.commands").
Q_DECLARE_LOGGING_CATEGORY(lcCommands)
