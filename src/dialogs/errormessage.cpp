#include "dialogs/errormessage.h"

#include "dialogs/dialogslogging.h"

#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

ErrorMessage::ErrorMessage(QString title, QString text, QObject* parent)
    : QObject(parent)
    , title(std::move(title))
    , text(std::move(text))
{
}

ErrorMessage::~ErrorMessage()
{
    // The box has no parent; an unanswered question goes with its object.
    // Later, because the box may be the one calling.
    discardBox();
}

void ErrorMessage::discardBox()
{
    if (!messageBox)
        return;
    disconnect(messageBox.data(), nullptr, this, nullptr);
    messageBox->hide();
    messageBox->deleteLater();
    messageBox.clear();
    buttonOverwriteOne = nullptr;
    buttonOverwriteAll = nullptr;
    buttonSkipOne = nullptr;
    buttonSkipAll = nullptr;
}

void ErrorMessage::showMessageBox()
{
    // One question per object: a box still open is replaced.
    discardBox();

    messageBox = new QMessageBox();
    // Shown, not executed: other windows stay usable while it waits.
    messageBox->setWindowModality(Qt::NonModal);
    messageBox->setWindowTitle(title);
    messageBox->setText(text);

    connect(messageBox.data(), &QMessageBox::buttonClicked, this, &ErrorMessage::buttonClickedSlot);
    connect(this, &ErrorMessage::showMessage, messageBox.data(), &QWidget::show);

    buttonOverwriteOne = messageBox->addButton(tr("Overwrite One"), QMessageBox::ActionRole);
    buttonOverwriteAll = messageBox->addButton(tr("Overwrite All"), QMessageBox::ActionRole);
    buttonSkipOne = messageBox->addButton(tr("Skip One"), QMessageBox::ActionRole);
    buttonSkipAll = messageBox->addButton(tr("Skip All"), QMessageBox::ActionRole);

    qCDebug(lcDialogs) << "28 showMessage();";
    emit showMessage();
}

void ErrorMessage::buttonClickedSlot(QAbstractButton* button)
{
    if (!button)
        return;
    qCDebug(lcDialogs).noquote() << "button pushed:" << button->text();

    // The buttons are told apart by identity, so that translated captions
    // give the same answers. A receiver may delete this object.
    const QPointer<ErrorMessage> self(this);
    if (button == buttonOverwriteOne)
        emit confirmOverwriteSignal(true, false, false);
    else if (button == buttonOverwriteAll)
        emit confirmOverwriteSignal(true, true, false);
    else if (button == buttonSkipOne)
        emit confirmOverwriteSignal(false, false, false);
    else if (button == buttonSkipAll)
        emit confirmOverwriteSignal(false, true, false);

    // The box is in the middle of its own click handling, hence later. A
    // deleted object has discarded it already.
    if (self)
        discardBox();
}
