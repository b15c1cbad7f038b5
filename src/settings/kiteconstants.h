#pragma once

#include <QLatin1String>
#include <QtGlobal>

// Deployment values of the client in one place: the farm's host names, the
// test environment, file names in the application directory and the start
// values of the shared settings object.
namespace KiteConstants {

// A QLatin1String of a string literal, usable in constant expressions with
// every compiler (the constructor from a bare pointer measures the text with
// strlen, which only some compilers evaluate at compile time).
template <int N>
constexpr QLatin1String latin1(const char (&text)[N]) noexcept
{
    return QLatin1String(text, N - 1);
}

// --- Production farm -------------------------------------------------------

// Domain of the job-queue WebSocket servers; the full host is
// "<subdomainWss>.<FarmWssDomain>".
inline constexpr QLatin1String FarmWssDomain = latin1("orvelfarm.net");
// Subdomain used until the settings file or the server names another one.
inline constexpr QLatin1String DefaultSubdomainWss = latin1("queue");
// WebSocket URL pattern; "%1" is replaced by the subdomain. Settings key
// "Network/serverWssTemplate" overrides it (loopback servers in tests and demos).
inline constexpr QLatin1String DefaultServerWssTemplate = latin1("wss://%1.orvelfarm.net");
// DefaultServerWssTemplate filled with DefaultSubdomainWss.
inline constexpr QLatin1String DefaultServerWss = latin1("wss://queue.orvelfarm.net");

// HTTPS file-transfer hosts of the two data centres and their common path.
inline constexpr QLatin1String DefaultServerHttpsHost = latin1("transfer.orvelfarm.net");
inline constexpr QLatin1String DefaultServerHttpsHost2 = latin1("transfer2.orvelfarm.net");
inline constexpr QLatin1String ServerHttpsPath = latin1("/filetransfers/");

// FTP/SFTP transfer hosts and the licence-tunnel host.
inline constexpr QLatin1String DefaultServerFtp = latin1("ftp.orvelfarm.net");
inline constexpr QLatin1String DefaultServerSftp = latin1("sftp.orvelfarm.net");
inline constexpr QLatin1String DefaultServerUdp = latin1("udp.orvelfarm.net");
inline constexpr QLatin1String DefaultServerSshTunnel = latin1("tunnel.orvelfarm.net");
inline constexpr int DefaultServerPort = 22;

// Account portal (control centre, payments, team manager, support tickets)
// and the public web site (price calculator). No trailing slash.
inline constexpr QLatin1String PortalHost = latin1("https://my.orvelfarm.net");
inline constexpr QLatin1String WebSiteHost = latin1("https://www.orvelfarm.net");

// --- Test environment ("Settings/useTestEnvironment") ------------------------

inline constexpr QLatin1String TestServerWss = latin1("wss://queue.test.orvelfarm.net");
inline constexpr QLatin1String TestServerHttpsHost = latin1("transfer.test.orvelfarm.net");
inline constexpr QLatin1String TestServerHttpsHost2 = latin1("transfer2.test.orvelfarm.net");
inline constexpr QLatin1String TestPortalHost = latin1("https://my.test.orvelfarm.net");

// --- Files ------------------------------------------------------------------

inline constexpr QLatin1String SettingsFileName = latin1("settings.ini");
inline constexpr QLatin1String LogFileName = latin1("logFile.log");
// The previous log, kept when logFileName grows past LogRotateBytes.
inline constexpr QLatin1String OldLogFileName = latin1("logFile.log.old");
inline constexpr qint64 LogRotateBytes = 10 * 1024 * 1024;
// Lines written through one open handle before it is flushed and closed.
inline constexpr int LogLinesPerOpen = 101;

// Appended to the home directory when the stored projects folder is missing.
inline constexpr QLatin1String DefaultProjectsFolderSuffix = latin1("/OrvelKite/Projects");
// Appended to the application directory when "plugins/pluginDir" is empty.
inline constexpr QLatin1String DefaultPluginDirSuffix = latin1("/plugins");

// --- Start values of run-time settings -----------------------------------------

inline constexpr int DefaultPingInterval = 30;      // seconds
inline constexpr int DefaultMaxRunningUploads = 2;
inline constexpr int DefaultMaxRunningDownloads = 2;
// Log levels below this are written; it is also the value that is not saved.
inline constexpr int DefaultLogLevel = 2;
// Licence entries that hold these values are not saved.
inline constexpr int NoLicensePort = -1;
inline constexpr QLatin1String DefaultLicenseServerArnold = latin1("localhost");
inline constexpr QLatin1String DefaultProgramLanguage = latin1("en");
inline constexpr int DefaultNotificationDuration = 5;  // seconds on screen
inline constexpr int DefaultNotificationProgress = 25; // percent between progress notes

} // namespace KiteConstants
