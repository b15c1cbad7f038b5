#pragma once

#include "kiteshared_export.h"

#include <QObject>
#include <QString>

// Makes one shortcut to a job's output folder and deletes itself when done.
// On Windows the console script host rewrites the shortcut with its icon; on
// other systems the shortcut is a symbolic link and no script runs.
class KITESHARED_EXPORT LinkCreator : public QObject
{
    Q_OBJECT
public:
    explicit LinkCreator(QObject* parent = nullptr);

    // Ensures the shortcut: nothing is made again when it already points at
    // the target (and, on Windows, carries the icon); a link to elsewhere is
    // replaced; something at linkPath that is not a link is left alone. The
    // object deletes itself when done, also when the script host cannot be
    // started. One shortcut per object. Returns at once.
    void createLink(QString linkPath, QString targetPath, QString iconPath);

public slots:
    void deleteAfterFinish(int status);
};
