#include "pluginnetconnection/pluginlogging.h"

Q_LOGGING_CATEGORY(lcPlugin, "kite.plugin")
