#include "dialogs/dialogslogging.h"

Q_LOGGING_CATEGORY(lcDialogs, "kite.dialogs")
