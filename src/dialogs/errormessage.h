#pragma once

#include "kiteshared_export.h"

#include <QObject>
#include <QPointer>
#include <QString>

class QAbstractButton;
class QMessageBox;
class QPushButton;

// The overwrite question: a file of the same name but another size is already
// in the download folder. Four answers, reported by confirmOverwriteSignal;
// the box is deleted after an answer, the object stays with its parent. The
// box's window close button gives no answer (the box has no escape button).
class KITESHARED_EXPORT ErrorMessage : public QObject
{
    Q_OBJECT
public:
    ErrorMessage(QString title, QString text, QObject* parent = nullptr);
    ~ErrorMessage() override;

    void showMessageBox();

    QString title;
    QString text;
    QPointer<QMessageBox> messageBox;
    QPushButton* buttonOverwriteOne = nullptr;
    QPushButton* buttonOverwriteAll = nullptr;
    QPushButton* buttonSkipOne = nullptr;
    QPushButton* buttonSkipAll = nullptr;

signals:
    void retry(bool yes);
    void confirmOverwriteSignal(bool overwrite, bool All, bool ignore);
    void showMessage();

public slots:
    void buttonClickedSlot(QAbstractButton* button);

private:
    // Closes the open box, if any, and schedules it for deletion.
    void discardBox();
};
