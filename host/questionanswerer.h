#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

class KiteProject;
class KiteSettings;
class QMessageBox;
class QWidget;

// Answers the questions a job's menu action asks, the way the user would
// click in them, so that a command never leaves a question waiting:
//  - a modal question (a message box or a folder dialog run with exec())
//    asked while the action runs is answered from a zero-timer, that is from
//    within the question's own event loop, or turned down when no answer was
//    given; no modal loop outlives the action;
//  - the overwrite question of a download (a box shown without a loop of its
//    own, possibly long after the action) is answered with the answer the
//    job was last given, or reported as waiting for one.
class QuestionAnswerer : public QObject
{
    Q_OBJECT
public:
    enum class Answer { None, Yes, No, All };

    // What happened while an action ran.
    struct Outcome
    {
        QString question;     // the modal question asked, if any
        QString answered;     // how it was answered; empty when it was turned down
        QString refusal;      // why a question was turned down
        QStringList windows;  // titles of other windows the action opened
    };

    explicit QuestionAnswerer(KiteSettings* settings, QObject* parent = nullptr);
    ~QuestionAnswerer() override;

    static bool parseAnswer(const QString& text, Answer& answer);
    static QString answerText(Answer answer);

    // Runs `trigger`, answering the modal questions it asks with `answer`, a
    // folder question with `folder`.
    Outcome run(const std::function<void()>& trigger, Answer answer, const QString& folder);

    // The answer the job's later overwrite questions get (None: they wait).
    void setStandingAnswer(KiteProject* job, Answer answer);
    // Answers the job's open overwrite question; false when none is open.
    bool answerOpenQuestion(KiteProject* job, Answer answer, QString* question);

signals:
    // An overwrite question of `job` was answered with the standing answer,
    // or (empty `answered`) waits for an answer.
    void questionSeen(KiteProject* job, const QString& question, const QString& answered);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct OpenQuestion
    {
        QMessageBox* box = nullptr;
        QString text;
    };

    void answerModal();
    bool answerModalBox(QMessageBox* box);
    void lookForOverwriteQuestions();
    // Clicks the box's button for `answer`; false when it has none.
    static bool clickOverwriteAnswer(KiteProject* job, Answer answer);
    static OpenQuestion openOverwriteQuestion(KiteProject* job);
    static QString questionText(QMessageBox* box);

    KiteSettings* m_settings;
    QTimer m_modalTimer;       // answers a modal question from inside its loop
    QTimer m_overwriteTimer;   // looks at overwrite questions after a box showed
    int m_running = 0;         // actions running (nested while a question waits)
    Answer m_answer = Answer::None;
    QString m_folder;
    Outcome* m_outcome = nullptr;
    int m_questionsAnswered = 0;
    QHash<KiteProject*, Answer> m_standing;
    QSet<QMessageBox*> m_reported; // overwrite boxes already reported as waiting
};
