#pragma once

#include <QByteArray>
#include <QObject>
#include <QSet>
#include <QVector>

class OutputFlusher;

// Prints one line for every signal a watched object emits, with its
// arguments. Works like QSignalSpy: each signal is connected to a method index
// of its own past QObject's methods, and qt_metacall turns the call into text.
class SignalPrinter : public QObject
{
public:
    SignalPrinter(QObject* source, OutputFlusher& out, const QSet<QByteArray>& skippedSignals,
                  QObject* parent = nullptr);

    int qt_metacall(QMetaObject::Call call, int id, void** arguments) override;

    // Text form of one argument as the host shows it.
    static QString formatArgument(int typeId, const QByteArray& typeName, void* value);

private:
    QObject* m_source;
    OutputFlusher& m_out;
    QVector<int> m_signalIndexes;
};
