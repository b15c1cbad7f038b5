#include "settings/translationloader.h"

#include <QCoreApplication>
#include <QTranslator>

namespace {
const QString translatorName = QStringLiteral("kiteTranslator");
}

bool TranslationLoader::install(QCoreApplication* application, const QString& language)
{
    if (!application)
        return false;

    const QList<QTranslator*> previous = application->findChildren<QTranslator*>(translatorName, Qt::FindDirectChildrenOnly);
    for (QTranslator* translator : previous) {
        QCoreApplication::removeTranslator(translator);
        delete translator;
    }
    if (language.isEmpty())
        return false;

    auto* translator = new QTranslator(application);
    translator->setObjectName(translatorName);
    // Tries kite_de_DE.qm, then kite_de.qm.
    if (!translator->load(QStringLiteral("kite_") + language, QStringLiteral(":/translations"))
        || !QCoreApplication::installTranslator(translator)) {
        delete translator;
        return false;
    }
    return true;
}
