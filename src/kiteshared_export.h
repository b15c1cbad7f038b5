#pragma once

#include <QtGlobal>

// Classes shared by the host and the plug-in live in the kiteshared library.
#if defined(KITESHARED_LIBRARY)
#define KITESHARED_EXPORT Q_DECL_EXPORT
#else
#define KITESHARED_EXPORT Q_DECL_IMPORT
#endif
