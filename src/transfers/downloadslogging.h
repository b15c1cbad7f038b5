#pragma once

#include <QLoggingCategory>

// Download passes, download lists and download completion.
Q_DECLARE_LOGGING_CATEGORY(lcDownloads)
