#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

// Records the debug output while it lives: every message, or only those of
// one logging category. Messages are passed on to the previous handler when
// asked to.
class MessageCapture
{
public:
    explicit MessageCapture(const char* category = nullptr, bool passOn = false)
        : m_category(category)
        , m_passOn(passOn)
    {
        s_current = this;
        m_previous = qInstallMessageHandler(&MessageCapture::handle);
    }
    ~MessageCapture()
    {
        qInstallMessageHandler(m_previous);
        s_current = nullptr;
    }
    MessageCapture(const MessageCapture&) = delete;
    MessageCapture& operator=(const MessageCapture&) = delete;

    QStringList messages;

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        if (!s_current)
            return;
        if (!s_current->m_category || (context.category && qstrcmp(context.category, s_current->m_category) == 0))
            s_current->messages << message;
        if (s_current->m_passOn && s_current->m_previous)
            s_current->m_previous(type, context, message);
    }
    static inline MessageCapture* s_current = nullptr;
    const char* m_category;
    bool m_passOn;
    QtMessageHandler m_previous = nullptr;
};
