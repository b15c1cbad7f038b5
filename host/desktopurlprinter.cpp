#include "desktopurlprinter.h"

#include "outputflusher.h"

#include <QDesktopServices>
#include <QUrlQuery>

namespace {
const char* const schemes[] = {"file", "http", "https"};

bool isSecretKey(const QString& key)
{
    return key.contains(QLatin1String("token"), Qt::CaseInsensitive)
        || key.contains(QLatin1String("pass"), Qt::CaseInsensitive)
        || key.contains(QLatin1String("secret"), Qt::CaseInsensitive);
}
} // namespace

DesktopUrlPrinter::DesktopUrlPrinter(OutputFlusher& out, QObject* parent)
    : QObject(parent)
    , m_out(out)
{
    // The handler is named by its slot: QDesktopServices takes no other form.
    for (const char* scheme : schemes)
        QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "openUrl");
}

DesktopUrlPrinter::~DesktopUrlPrinter()
{
    for (const char* scheme : schemes)
        QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
}

QString DesktopUrlPrinter::printable(const QUrl& url)
{
    QUrl shown = url;
    if (!shown.password().isEmpty())
        shown.setPassword(QStringLiteral("***"));
    if (shown.hasQuery()) {
        const QList<QPair<QString, QString>> items = QUrlQuery(shown).queryItems(QUrl::FullyDecoded);
        QUrlQuery redacted;
        for (const auto& item : items) {
            const bool secret = isSecretKey(item.first) && !item.second.isEmpty();
            redacted.addQueryItem(item.first, secret ? QStringLiteral("***") : item.second);
        }
        shown.setQuery(redacted);
    }
    return shown.toString();
}

void DesktopUrlPrinter::openUrl(const QUrl& url)
{
    m_out.printLine(QStringLiteral("open: ") + printable(url));
}
