#pragma once

#include "kiteshared_export.h"

#include <QObject>

// Each job holds one; it has no operations of its own.
class KITESHARED_EXPORT ErrorMessageQueue : public QObject
{
    Q_OBJECT
public:
    explicit ErrorMessageQueue(QObject* parent = nullptr)
        : QObject(parent)
    {
    }
};
