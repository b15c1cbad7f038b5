#include "farmlogging.h"

Q_LOGGING_CATEGORY(lcFarmSim, "kite.farmsim")
