#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

class OutputFlusher;

// With --no-desktop: what the plug-in hands to the desktop (an output folder,
// a portal link) is printed as "open: <url>" instead of starting a file
// manager or a browser. Login tokens and passwords in the link are shown as
// "***".
class DesktopUrlPrinter : public QObject
{
    Q_OBJECT
public:
    explicit DesktopUrlPrinter(OutputFlusher& out, QObject* parent = nullptr);
    ~DesktopUrlPrinter() override;

    // The URL as printed: secrets in its query and user info replaced.
    static QString printable(const QUrl& url);

public slots:
    // The desktop's URL handler for "file", "http" and "https".
    void openUrl(const QUrl& url);

private:
    OutputFlusher& m_out;
};
