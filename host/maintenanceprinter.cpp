#include "maintenanceprinter.h"

#include "pluginnetconnectioninterface.h"

#include <QJsonArray>
#include <QTextStream>

namespace {
// Texts from the server are shown without control characters, so that they
// cannot rewrite the terminal.
QString printable(QString text)
{
    for (QChar& c : text) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char('?');
    }
    return text;
}

QString memberText(const QJsonValue& value)
{
    if (value.isString())
        return printable(value.toString());
    if (value.isDouble())
        return QString::number(value.toDouble(), 'g', 15);
    return QStringLiteral("?");
}
} // namespace

MaintenancePrinter::MaintenancePrinter(PluginNetConnectionInterface* plugin, bool acceptUpdates, QTextStream& out,
                                       QObject* parent)
    : QObject(parent)
    , m_plugin(plugin)
    , m_acceptUpdates(acceptUpdates)
    , m_out(out)
{
    // The host knows the plug-in only through its interface: its signals are
    // reached by name.
    QObject* source = plugin->getObject();
    connect(source, SIGNAL(updateDataSignal(QJsonObject)), this, SLOT(updateDataSlot(QJsonObject)));
    connect(source, SIGNAL(tunnelConnectedSignal(bool)), this, SLOT(tunnelConnectedSlot(bool)));
}

void MaintenancePrinter::print(const QString& line)
{
    m_out << "kitehost: " << line << '\n';
    m_out.flush();
}

QStringList MaintenancePrinter::updateFiles(const QJsonObject& content)
{
    QStringList files;
    const QJsonArray list = content.value(QStringLiteral("files")).toArray();
    for (const QJsonValue& entry : list) {
        if (entry.isString())
            files << entry.toString();
    }
    return files;
}

QStringList MaintenancePrinter::describeUpdate(const QJsonObject& content)
{
    const QStringList files = updateFiles(content);
    QStringList lines;
    lines << tr("update information: version %1, build %2, %n file(s)", nullptr, files.size())
                 .arg(memberText(content.value(QStringLiteral("version"))),
                      memberText(content.value(QStringLiteral("build"))));
    for (const QString& file : files) {
        const int colon = file.indexOf(QLatin1Char(':'));
        if (colon < 0)
            lines << tr("  update file %1 (no size given)").arg(printable(file));
        else
            lines << tr("  update file %1 (%2 bytes)").arg(printable(file.left(colon)), printable(file.mid(colon + 1)));
    }
    return lines;
}

void MaintenancePrinter::updateDataSlot(QJsonObject content)
{
    for (const QString& line : describeUpdate(content))
        print(line);
    const QStringList files = updateFiles(content);
    if (files.isEmpty()) {
        print(tr("no update files to fetch"));
        return;
    }
    if (!m_acceptUpdates) {
        print(tr("update not fetched (start with --accept-updates to fetch it)"));
        return;
    }
    print(tr("fetching %n update file(s)", nullptr, files.size()));
    m_plugin->downloadUpdateFiles(files);
}

void MaintenancePrinter::tunnelConnectedSlot(bool connected)
{
    // The tunnel reports "not connected" on every end and restart; one line
    // per change is enough.
    const int state = connected ? 1 : 0;
    if (state == m_tunnelState)
        return;
    m_tunnelState = state;
    print(connected ? tr("licence tunnel connected") : tr("licence tunnel not connected"));
}
