#include "questionanswerer.h"

#include "commandlogging.h"
#include "dialogs/errormessage.h"
#include "jobs/kiteproject.h"
#include "settings/kitesettings.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

namespace {
// While an action runs and shows no question yet, it is looked at this often.
constexpr int modalPollMs = 10;
// More questions than this in one action are all turned down.
constexpr int maxQuestionsPerAction = 8;

QAbstractButton* buttonWithRole(QMessageBox* box, std::initializer_list<QMessageBox::ButtonRole> roles)
{
    for (QMessageBox::ButtonRole role : roles) {
        const QList<QAbstractButton*> buttons = box->buttons();
        for (QAbstractButton* button : buttons) {
            if (box->buttonRole(button) == role)
                return button;
        }
    }
    return nullptr;
}
} // namespace

QuestionAnswerer::QuestionAnswerer(KiteSettings* settings, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
{
    m_modalTimer.setSingleShot(true);
    connect(&m_modalTimer, &QTimer::timeout, this, &QuestionAnswerer::answerModal);
    m_overwriteTimer.setSingleShot(true);
    m_overwriteTimer.setInterval(0);
    connect(&m_overwriteTimer, &QTimer::timeout, this, &QuestionAnswerer::lookForOverwriteQuestions);
    qApp->installEventFilter(this);
}

QuestionAnswerer::~QuestionAnswerer()
{
    qApp->removeEventFilter(this);
}

bool QuestionAnswerer::parseAnswer(const QString& text, Answer& answer)
{
    const QString word = text.trimmed().toLower();
    if (word == QLatin1String("yes"))
        answer = Answer::Yes;
    else if (word == QLatin1String("no"))
        answer = Answer::No;
    else if (word == QLatin1String("all"))
        answer = Answer::All;
    else
        return false;
    return true;
}

QString QuestionAnswerer::answerText(Answer answer)
{
    switch (answer) {
    case Answer::Yes:
        return QStringLiteral("yes");
    case Answer::No:
        return QStringLiteral("no");
    case Answer::All:
        return QStringLiteral("all");
    case Answer::None:
        break;
    }
    return QString();
}

QuestionAnswerer::Outcome QuestionAnswerer::run(const std::function<void()>& trigger, Answer answer,
                                                const QString& folder)
{
    Outcome outcome;
    // Commands come one at a time; a nested run would only mix up outcomes.
    if (m_running > 0) {
        outcome.refusal = tr("another action is still running");
        return outcome;
    }
    m_outcome = &outcome;
    m_answer = answer;
    m_folder = folder;
    m_questionsAnswered = 0;
    ++m_running;
    m_modalTimer.start(0);
    trigger();
    --m_running;
    m_modalTimer.stop();
    m_outcome = nullptr;
    return outcome;
}

void QuestionAnswerer::answerModal()
{
    if (m_running == 0 || !m_outcome)
        return;
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal) {
        m_modalTimer.start(modalPollMs);
        return;
    }
    const bool tooMany = ++m_questionsAnswered > maxQuestionsPerAction;
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        m_outcome->question = questionText(box);
        if (tooMany || !answerModalBox(box)) {
            // Turned down with the answer that changes nothing.
            QAbstractButton* safe = box->button(QMessageBox::No);
            if (!safe)
                safe = box->button(QMessageBox::Cancel);
            if (!safe)
                safe = box->escapeButton();
            if (safe)
                safe->click();
            else
                box->reject();
        }
    } else if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
        m_outcome->question = dialog->windowTitle();
        if (!tooMany && !m_folder.isEmpty()) {
            // An empty selection is the folder shown: the one given.
            dialog->setDirectory(m_folder);
            m_outcome->answered = m_folder;
            static_cast<QDialog*>(dialog)->accept(); // the file dialog's own checks run
        } else {
            m_outcome->refusal = tr("it asks for a folder (add --folder DIR)");
            dialog->reject();
        }
    } else {
        m_outcome->question = modal->windowTitle();
        m_outcome->refusal = tr("the host cannot answer this window");
        if (auto* other = qobject_cast<QDialog*>(modal))
            other->reject();
        else
            modal->close();
    }
    qCDebug(lcCommands) << "modal question" << m_outcome->question << "answered:" << m_outcome->answered;
    // The action may ask again once this loop ends.
    m_modalTimer.start(0);
}

bool QuestionAnswerer::answerModalBox(QMessageBox* box)
{
    QAbstractButton* button = nullptr;
    switch (m_answer) {
    case Answer::Yes:
        button = box->button(QMessageBox::Yes);
        if (!button)
            button = buttonWithRole(box, {QMessageBox::YesRole, QMessageBox::AcceptRole});
        break;
    case Answer::No:
        button = box->button(QMessageBox::No);
        if (!button)
            button = buttonWithRole(box, {QMessageBox::NoRole, QMessageBox::RejectRole});
        break;
    case Answer::All:
        button = box->button(QMessageBox::YesToAll);
        break;
    case Answer::None:
        break;
    }
    if (!button) {
        m_outcome->refusal = m_answer == Answer::None
            ? tr("it asks a question and no answer was given (add --answer yes|no)")
            : tr("the question has no answer \"%1\"").arg(answerText(m_answer));
        return false;
    }
    m_outcome->answered = answerText(m_answer);
    button->click();
    return true;
}

QString QuestionAnswerer::questionText(QMessageBox* box)
{
    const QString text = box->text().simplified();
    const QString title = box->windowTitle().simplified();
    return title.isEmpty() || title == QCoreApplication::applicationName() ? text : title + QStringLiteral(": ") + text;
}

void QuestionAnswerer::setStandingAnswer(KiteProject* job, Answer answer)
{
    if (answer == Answer::None) {
        m_standing.remove(job);
        return;
    }
    if (!m_standing.contains(job))
        connect(job, &QObject::destroyed, this, [this, job] { m_standing.remove(job); });
    m_standing.insert(job, answer);
    // A question may be waiting already.
    m_overwriteTimer.start();
}

bool QuestionAnswerer::answerOpenQuestion(KiteProject* job, Answer answer, QString* question)
{
    const OpenQuestion open = openOverwriteQuestion(job);
    if (!open.box)
        return false;
    if (question)
        *question = open.text;
    return clickOverwriteAnswer(job, answer);
}

QuestionAnswerer::OpenQuestion QuestionAnswerer::openOverwriteQuestion(KiteProject* job)
{
    OpenQuestion open;
    if (!job || !job->overwriteQuestionOpen)
        return open;
    const QList<ErrorMessage*> questions = job->findChildren<ErrorMessage*>(QString(), Qt::FindDirectChildrenOnly);
    for (ErrorMessage* question : questions) {
        if (question->messageBox && question->messageBox->isVisible()) {
            open.box = question->messageBox;
            open.text = questionText(question->messageBox);
        }
    }
    return open;
}

bool QuestionAnswerer::clickOverwriteAnswer(KiteProject* job, Answer answer)
{
    const QList<ErrorMessage*> questions = job->findChildren<ErrorMessage*>(QString(), Qt::FindDirectChildrenOnly);
    for (ErrorMessage* question : questions) {
        if (!question->messageBox || !question->messageBox->isVisible())
            continue;
        QPushButton* button = answer == Answer::Yes ? question->buttonOverwriteOne
            : answer == Answer::No                  ? question->buttonSkipOne
            : answer == Answer::All                 ? question->buttonOverwriteAll
                                                    : nullptr;
        if (!button)
            return false;
        button->click();
        return true;
    }
    return false;
}

void QuestionAnswerer::lookForOverwriteQuestions()
{
    // Only jobs with a question open; answering one may open the next.
    const QList<KiteProject*> jobs = m_settings->jobList;
    for (KiteProject* job : jobs) {
        if (!job->overwriteQuestionOpen)
            continue;
        const OpenQuestion open = openOverwriteQuestion(job);
        if (!open.box)
            continue;
        const Answer standing = m_standing.value(job, Answer::None);
        if (standing != Answer::None && clickOverwriteAnswer(job, standing)) {
            emit questionSeen(job, open.text, answerText(standing));
            continue;
        }
        if (m_reported.contains(open.box))
            continue;
        QMessageBox* box = open.box;
        m_reported.insert(box);
        connect(box, &QObject::destroyed, this, [this, box] { m_reported.remove(box); });
        emit questionSeen(job, open.text, QString());
    }
}

bool QuestionAnswerer::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Show && watched->isWidgetType()) {
        auto* dialog = qobject_cast<QDialog*>(watched);
        if (dialog && dialog->isWindow()) {
            if (qobject_cast<QMessageBox*>(dialog))
                m_overwriteTimer.start();
            else if (m_outcome && !dialog->isModal())
                m_outcome->windows << dialog->windowTitle();
        }
    }
    return QObject::eventFilter(watched, event);
}
