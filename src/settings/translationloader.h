#pragma once

#include "kiteshared_export.h"

#include <QString>

class QCoreApplication;

// Installs one of the translations compiled into this library
// (":/translations/kite_<language>.qm").
class KITESHARED_EXPORT TranslationLoader
{
public:
    TranslationLoader() = delete;

    // Replaces the translation an earlier call installed with the one for
    // language ("de", or "de_DE" falling back to "de"); the translator is a
    // child of application. Returns false, leaving the source texts in place,
    // when there is no such translation.
    static bool install(QCoreApplication* application, const QString& language);
};
