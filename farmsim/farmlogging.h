#pragma once

#include <QLoggingCategory>

// Debug output of the farm simulator ("kite.farmsim"); switch it off with
// QT_LOGGING_RULES="kite.farmsim.debug=false".
Q_DECLARE_LOGGING_CATEGORY(lcFarmSim)
