#include "net/netlogging.h"

Q_LOGGING_CATEGORY(lcNet, "kite.net")
Q_LOGGING_CATEGORY(lcRequestQueue, "kite.net.queue")
