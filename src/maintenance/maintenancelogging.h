#pragma once

#include <QLoggingCategory>

// Debug output of the update check and the log upload (defined in
// updatecheck.cpp).
Q_DECLARE_LOGGING_CATEGORY(lcMaintenance)
