#include "net/netlogging.h"

Q_LOGGING_CATEGORY(lcNet, "kite.net")
