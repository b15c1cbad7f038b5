#include "signalprinter.h"

#include "jobs/kiteproject.h"
#include "outputflusher.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaMethod>
#include <QStringList>
#include <QVariant>

SignalPrinter::SignalPrinter(QObject* source, OutputFlusher& out, const QSet<QByteArray>& skippedSignals,
                             QObject* parent)
    : QObject(parent)
    , m_source(source)
    , m_out(out)
{
    const QMetaObject* meta = source->metaObject();
    const int slotBase = QObject::staticMetaObject.methodCount();
    for (int i = QObject::staticMetaObject.methodCount(); i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        if (method.methodType() != QMetaMethod::Signal || skippedSignals.contains(method.name()))
            continue;
        // Signals with default arguments also appear as shorter clones; the
        // full form is enough.
        if (method.attributes() & QMetaMethod::Cloned)
            continue;
        QMetaObject::connect(source, i, this, slotBase + m_signalIndexes.size(), Qt::DirectConnection);
        m_signalIndexes.append(i);
    }
}

QString SignalPrinter::formatArgument(int typeId, const QByteArray& typeName, void* value)
{
    if (typeName == "KiteProject*") {
        auto* job = *static_cast<KiteProject**>(value);
        return job ? QStringLiteral("job:") + job->name : QStringLiteral("job:null");
    }
    if (typeId == QMetaType::QJsonObject)
        return QString::fromUtf8(QJsonDocument(*static_cast<QJsonObject*>(value)).toJson(QJsonDocument::Compact));
    if (typeId == QMetaType::QJsonArray)
        return QString::fromUtf8(QJsonDocument(*static_cast<QJsonArray*>(value)).toJson(QJsonDocument::Compact));
    if (typeId == QMetaType::QStringList)
        return QLatin1Char('[') + static_cast<QStringList*>(value)->join(QLatin1Char(',')) + QLatin1Char(']');
    if (typeId == QMetaType::QString)
        return QLatin1Char('"') + *static_cast<QString*>(value) + QLatin1Char('"');
    if (typeId != QMetaType::UnknownType) {
        const QVariant variant(typeId, value);
        if (variant.canConvert<QString>())
            return variant.toString();
    }
    return QStringLiteral("<%1>").arg(QString::fromLatin1(typeName));
}

int SignalPrinter::qt_metacall(QMetaObject::Call call, int id, void** arguments)
{
    id = QObject::qt_metacall(call, id, arguments);
    if (id < 0 || call != QMetaObject::InvokeMetaMethod)
        return id;
    if (id < m_signalIndexes.size()) {
        const QMetaMethod method = m_source->metaObject()->method(m_signalIndexes.at(id));
        QStringList parts;
        for (int p = 0; p < method.parameterCount(); ++p)
            parts << formatArgument(method.parameterType(p), method.parameterTypes().at(p), arguments[p + 1]);
        m_out.printLine(QStringLiteral("signal ") + QString::fromLatin1(method.name()) + QLatin1Char('(')
                        + parts.join(QStringLiteral(", ")) + QLatin1Char(')'));
    }
    return -1;
}
