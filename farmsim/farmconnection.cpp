#include "farmconnection.h"

#include "farmlogging.h"

#include <QUrl>
#include <QUrlQuery>
#include <QWebSocket>

namespace {
const QString kSocketPath = QStringLiteral("/queue/socket");
}

FarmConnection::FarmConnection(int id, QWebSocket* socket, QObject* parent)
    : QObject(parent)
    , m_id(id)
    , m_socket(socket)
{
    m_socket->setParent(this);
    parseRequest();
    connect(m_socket, &QWebSocket::textMessageReceived, this,
            [this](const QString& text) { emit textReceived(this, text); });
    connect(m_socket, &QWebSocket::binaryMessageReceived, this, [this](const QByteArray& data) {
        qCDebug(lcFarmSim) << "connection" << m_id << "ignores a binary message of" << data.size() << "bytes";
    });
    connect(m_socket, &QWebSocket::disconnected, this, [this]() { emit disconnected(this); });
    connect(m_socket, &QWebSocket::pong, this,
            [this](quint64 elapsedMs, const QByteArray&) { emit pongReceived(this, elapsedMs); });
}

FarmConnection::~FarmConnection() = default;

void FarmConnection::parseRequest()
{
    const QUrl url = m_socket->requestUrl();
    m_path = url.path(QUrl::FullyDecoded);
    if (m_path == kSocketPath) {
        m_prefix.clear();
    } else if (m_path.endsWith(kSocketPath)) {
        // "/<prefix>/queue/socket": exactly one non-empty segment in front.
        const QString head = m_path.left(m_path.size() - kSocketPath.size());
        if (head.size() < 2 || !head.startsWith(QLatin1Char('/')) || head.indexOf(QLatin1Char('/'), 1) >= 0) {
            m_refusalReason = QStringLiteral("unknown path");
            return;
        }
        m_prefix = head.mid(1);
    } else {
        m_refusalReason = QStringLiteral("unknown path");
        return;
    }

    const QUrlQuery query(url);
    m_queryUser = query.queryItemValue(QStringLiteral("username"), QUrl::FullyDecoded);
    if (m_queryUser.isEmpty()) {
        m_refusalReason = QStringLiteral("no user name");
        return;
    }
    m_acceptable = true;
}

bool FarmConnection::isOpen() const
{
    return m_socket->state() == QAbstractSocket::ConnectedState;
}

void FarmConnection::sendText(const QString& text)
{
    m_socket->sendTextMessage(text);
}

void FarmConnection::close(QWebSocketProtocol::CloseCode code, const QString& reason)
{
    m_socket->close(code, reason);
}

void FarmConnection::abort()
{
    m_socket->abort();
}

void FarmConnection::ping()
{
    m_socket->ping();
}

qint64 FarmConnection::bytesToWrite() const
{
    return m_socket->bytesToWrite();
}
