#pragma once

#include <QLoggingCategory>

// Debug output of the licence tunnel (defined in reversetunnelprocess.cpp).
Q_DECLARE_LOGGING_CATEGORY(lcTunnel)
