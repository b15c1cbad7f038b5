#include "transfers/downloadslogging.h"

Q_LOGGING_CATEGORY(lcDownloads, "kite.downloads")
