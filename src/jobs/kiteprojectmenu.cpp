#include "jobs/kiteproject.h"

#include "dialogs/dirselectdialog.h"
#include "dialogs/errormessage.h"
#include "settings/kitesettings.h"

#include <QAction>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>
#include <QTimer>
#include <QUrl>

// The job's tray entry: its sub-menu and actions, the status line and icon,
// notifications and the clicks on them, the output folder, support tickets
// and the overwrite question.

namespace {

const char* const menuStyleSheet =
    " * {background-color: #191919;color: white; border: 1px solid #ea7a14;}"
    " QPushButton {background-color: red;}"
    " QMenu::item::selected {background-color: #ea7a14; color:#191919;}";

} // namespace

// --- menu ----------------------------------------------------------------------

QAction* KiteProject::addMenuAction(MenuEntry entry, const QString& text, bool checkable)
{
    auto* action = new QAction(text, jobAction);
    action->setCheckable(checkable);
    action->setVisible(entryVisible(entry));
    action->setChecked(entryChecked(entry));
    jobMenu->addAction(action);
    return action;
}

QAction* KiteProject::entryAction(MenuEntry entry) const
{
    switch (entry) {
    case MenuEntry::OpenDownloadFolder:
        return openDownloadFolderAction;
    case MenuEntry::ChangeDownloadDestination:
        return changeDownloadDestinationAction;
    case MenuEntry::HighUploadPriority:
        return highUploadPriorityAction;
    case MenuEntry::HighDownloadPriority:
        return highDownloadPriorityAction;
    case MenuEntry::PauseUpload:
        return pauseUploadAction;
    case MenuEntry::Autostart:
        return autostartAction;
    case MenuEntry::PauseDownload:
        return pauseDownloadAction;
    case MenuEntry::Delete:
        return deleteAction;
    case MenuEntry::SupportTicket:
        return supportTicketAction;
    case MenuEntry::RestartUpload:
        return restartUploadAction;
    case MenuEntry::RestartDownload:
        return restartDownloadAction;
    }
    return nullptr;
}

void KiteProject::showEntry(MenuEntry entry, bool visible)
{
    const quint16 bit = quint16(1u << unsigned(entry));
    m_visibleEntries = visible ? (m_visibleEntries | bit) : (m_visibleEntries & ~bit);
    if (QAction* action = entryAction(entry))
        action->setVisible(visible);
}

void KiteProject::checkEntry(MenuEntry entry, bool checked)
{
    const quint16 bit = quint16(1u << unsigned(entry));
    m_checkedEntries = checked ? (m_checkedEntries | bit) : (m_checkedEntries & ~bit);
    if (QAction* action = entryAction(entry))
        action->setChecked(checked);
}

bool KiteProject::entryVisible(MenuEntry entry) const
{
    return m_visibleEntries & (1u << unsigned(entry));
}

bool KiteProject::entryChecked(MenuEntry entry) const
{
    return m_checkedEntries & (1u << unsigned(entry));
}

QMenu* KiteProject::subMenu()
{
    if (!jobMenu)
        buildMenu();
    return jobMenu;
}

// The sub-menu is made when the host first shows or searches it: thousands
// of jobs cost their menus only once somebody looks. Until then the record
// keeps which entries are shown and checked.
void KiteProject::buildMenu()
{
    jobMenu = new QMenu;
    jobMenu->setStyleSheet(QString::fromLatin1(menuStyleSheet));
    jobAction->setMenu(jobMenu);

    // With the new tray menu the host lists the download entries of all jobs
    // under one heading each, so they carry the job's name.
    const bool oldMenu = kiteSettings && kiteSettings->oldMenu;
    const auto downloadText = [&](const QString& text) { return oldMenu ? text : name; };

    openDownloadFolderAction =
        addMenuAction(MenuEntry::OpenDownloadFolder, downloadText(tr("Open download folder")), false);
    changeDownloadDestinationAction =
        addMenuAction(MenuEntry::ChangeDownloadDestination, downloadText(tr("Change download destination")), false);
    if (!m_destinationToolTip.isEmpty())
        changeDownloadDestinationAction->setToolTip(m_destinationToolTip);
    highUploadPriorityAction = addMenuAction(MenuEntry::HighUploadPriority, tr("High upload priority"), true);
    highDownloadPriorityAction =
        addMenuAction(MenuEntry::HighDownloadPriority, downloadText(tr("High download priority")), true);
    pauseUploadAction = addMenuAction(MenuEntry::PauseUpload, tr("Pause upload"), true);
    autostartAction = addMenuAction(MenuEntry::Autostart, tr("Autostart render"), true);
    pauseDownloadAction = addMenuAction(MenuEntry::PauseDownload, tr("Pause download"), true);
    deleteAction = addMenuAction(MenuEntry::Delete, tr("Delete Job..."), false);
    supportTicketAction = addMenuAction(MenuEntry::SupportTicket, tr("Support Ticket..."), false);
    restartUploadAction = addMenuAction(MenuEntry::RestartUpload, tr("Restart upload"), false);
    restartDownloadAction = addMenuAction(MenuEntry::RestartDownload, downloadText(tr("Restart download")), false);
    if (!m_errorText.isEmpty())
        addErrorSection();

    // The check mark of a checkable action follows the record, not the click.
    connect(openDownloadFolderAction, &QAction::triggered, this, &KiteProject::openJobDir);
    connect(changeDownloadDestinationAction, &QAction::triggered, this, [this] { dirSelectSlot(false); });
    connect(highUploadPriorityAction, &QAction::triggered, this, [this] { setUploadPriorityUp(false); });
    connect(highDownloadPriorityAction, &QAction::triggered, this, [this] { setDownloadPriorityUp(false); });
    connect(pauseUploadAction, &QAction::triggered, this, &KiteProject::uploadPausedSwitchSlot);
    connect(autostartAction, &QAction::triggered, this, [this] { setAutostartSlot(true); });
    connect(pauseDownloadAction, &QAction::triggered, this, [this] { downloadPausedSwitchSlot(false); });
    connect(deleteAction, &QAction::triggered, this, &KiteProject::deleteClickedSlot);
    connect(supportTicketAction, &QAction::triggered, this, &KiteProject::createSupportTicketSlot);
    connect(restartUploadAction, &QAction::triggered, this, [this] { retryUploadSlot(0); });
    connect(restartDownloadAction, &QAction::triggered, this, &KiteProject::restartDownloadSlotMenuClick);
}

void KiteProject::setStatusText(const QString& suffix)
{
    // Whatever the line shows now, it is no longer a rendering text set
    // before (setRendering notes its own after this).
    m_renderText = -1;
    // The same line again is left as it is, without building it anew.
    const QString shown = jobAction->text();
    if (shown.size() == name.size() + suffix.size() && shown.startsWith(name) && shown.endsWith(suffix))
        return;
    // Exactly as long as it needs: the line is kept for as long as it is
    // shown, and a string grown by appending keeps spare room.
    QString line;
    line.reserve(name.size() + suffix.size());
    jobAction->setText(line.append(name).append(suffix));
}

void KiteProject::setStatusIcon(const QString& iconName)
{
    // A state set again leaves the entry alone: nothing for the tray to redraw.
    if (iconName == m_iconName)
        return;
    m_iconName = iconName;
    jobAction->setIcon(statusIcon(iconName));
}

QIcon KiteProject::statusIcon(const QString& iconName)
{
    // Every job shares the pictures of the menu icons.
    static QHash<QString, QIcon> icons;
    auto it = icons.find(iconName);
    if (it == icons.end())
        it = icons.insert(iconName, QIcon(QStringLiteral("://menuicons/") + iconName + QStringLiteral(".png")));
    return it.value();
}

void KiteProject::notify(const QString& title, const QString& message, const QString& messageType)
{
    emit showMessageSignal(title, message, messageType, this);
}

void KiteProject::setTrayActivity(bool active)
{
    if (kiteSettings)
        emit kiteSettings->setIconActivitySignal(active);
}

// Queued, rendering, rendered and paused jobs offer their download.
void KiteProject::showRenderStateActions()
{
    showEntry(MenuEntry::RestartUpload, false);
    showEntry(MenuEntry::RestartDownload, true);
    showEntry(MenuEntry::PauseUpload, false);
    showEntry(MenuEntry::PauseDownload, true);
    showEntry(MenuEntry::OpenDownloadFolder, true);
    showEntry(MenuEntry::Autostart, false);
    showEntry(MenuEntry::Delete, false);
}

void KiteProject::showUploadRunningActions()
{
    showEntry(MenuEntry::RestartUpload, false);
    showEntry(MenuEntry::RestartDownload, false);
    showEntry(MenuEntry::PauseUpload, true);
    checkEntry(MenuEntry::PauseUpload, false);
    showEntry(MenuEntry::PauseDownload, false);
    showEntry(MenuEntry::OpenDownloadFolder, false);
    showEntry(MenuEntry::Autostart, true);
    showEntry(MenuEntry::Delete, false);
}

// --- clicks and the output folder ----------------------------------------------

void KiteProject::messageClickedSlot(QString messageType)
{
    log(QStringLiteral(": messageClickedSlot ") + messageType);
    if (messageType == QLatin1String("DownloadEnd") || messageType == QLatin1String("DownloadStart")) {
        openJobDir();
    } else if (messageType == QLatin1String("UploadEnd")) {
        if (kiteSettings)
            emit openLinkWithTokenSignal(kiteSettings->controlCenterUrl);
    } else if (messageType == QLatin1String("DownloadError")) {
        if (downloadErrorRetryTimer)
            downloadErrorRetryTimer->stop();
        openRetryDirDialog();
    }
}

void KiteProject::openRetryDirDialog()
{
    // One folder dialog per job; the dialog deletes itself when it is done.
    if (dirSelectOpen || !kiteSettings)
        return;
    new DirSelectDialog(kiteSettings, this, true, nullptr, true);
}

void KiteProject::openJobDir()
{
    log(QStringLiteral(": openJobDir"));
    if (localDownloadDirCustom.isEmpty() && !localDownloadDir.isEmpty() && QFileInfo(localDownloadDir).isDir()) {
        log(QStringLiteral(": openJobDir: ") + localDownloadDir);
        QDesktopServices::openUrl(QUrl::fromLocalFile(localDownloadDir));
        return;
    }
    if (localDownloadDirCustom.isEmpty() || !QFileInfo(localDownloadDirCustom).isDir())
        createLocalDownloadDir(false);
    if (localDownloadDirCustom.isEmpty()) {
        log(QStringLiteral(": openJobDir: the job has no output folder"), 1);
        return;
    }
    log(QStringLiteral(": openJobDir custom: ") + localDownloadDirCustom);
    QDesktopServices::openUrl(QUrl::fromLocalFile(localDownloadDirCustom));
}

void KiteProject::dirSelectSlot(bool restartAfterSelect)
{
    log(QStringLiteral(": dirSelectSlot"));
    if (isDeleted)
        return;
    // The folder dialog of the download error may be the caller; it stays the
    // job's one dialog until it closes.
    const bool dialogWasOpen = dirSelectOpen;
    dirSelectOpen = true;
    const QString start = localDownloadDirCustom.isEmpty() ? localDownloadDir : localDownloadDirCustom;
    const QPointer<KiteProject> self(this);
    const QString folder = QFileDialog::getExistingDirectory(nullptr, tr("Change download destination"), start,
                                                             QFileDialog::ShowDirsOnly);
    if (!self)
        return;
    if (!folder.isEmpty() && folder != localDownloadDirCustom) {
        setDownloadFolders(localDownloadDir, folder);
        restartDownloadSlot(true, true);
        if (!isDeleted)
            appendToConfig(QStringLiteral("downloadpath=") + folder);
        m_destinationToolTip = folder;
        if (changeDownloadDestinationAction)
            changeDownloadDestinationAction->setToolTip(folder);
        if (restartAfterSelect)
            restartDownloadSlot(true, true);
    }
    dirSelectOpen = dialogWasOpen;
}

void KiteProject::deleteClickedSlot()
{
    log(QStringLiteral(": deleteClickedSlot"));
    QMessageBox box(QMessageBox::Information, tr("Delete"), tr("Delete local files of job?"),
                    QMessageBox::Yes | QMessageBox::No);
    box.setWindowFlags(box.windowFlags() | Qt::MSWindowsFixedSizeDialogHint);
    const QPointer<KiteProject> self(this);
    const int answer = box.exec();
    if (!self)
        return;
    if (answer == QMessageBox::Yes) {
        log(QStringLiteral(": delete..."));
        emit deleteLocalJobSignal(this);
    } else {
        log(QStringLiteral(": not delete"));
    }
}

// --- support tickets -------------------------------------------------------------

QString KiteProject::supportInformation() const
{
    const auto mode = [this](bool sftp, bool https, bool expedat, bool encrypted) {
        if (sftp)
            return QStringLiteral("SFTP");
        if (https)
            return QStringLiteral("HTTPS");
        if (expedat)
            return QStringLiteral("EXPEDAT");
        QString ftp = encrypted ? QStringLiteral("FTPS") : QStringLiteral("FTP");
        if (kiteSettings->ftpCCC)
            ftp += QStringLiteral(" (CCC)");
        return ftp;
    };
#ifdef Q_OS_WIN
    const QString os = QStringLiteral("Windows");
#else
    const QString os = QSysInfo::prettyProductName();
#endif
    return QStringLiteral("\r\nVersion: ") + kiteSettings->versionPrefix + QString::number(kiteSettings->versionBuild)
        + QStringLiteral("\r\nUpload mode: ")
        + mode(kiteSettings->useSftpUp, kiteSettings->useHttpsUp, kiteSettings->useExpedatUp, kiteSettings->ftpEncryptionUp)
        + QStringLiteral("\r\nDownload mode: ")
        + mode(kiteSettings->useSftpDown, kiteSettings->useHttpsDown, kiteSettings->useExpedatDown,
               kiteSettings->ftpEncryptionDown)
        + QStringLiteral("\r\nOS: ") + os;
}

QString KiteProject::supportTicketLink() const
{
    return kiteSettings->supportTicketUrl + tr("?subPreset=Support Request ") + name
        + tr("&msgPreset=Hi Zeduvared Support,\n\nmy username is ") + kiteSettings->username
        + tr("\nThe name of the job is: ") + name + QStringLiteral("\n\n") + supportInformation()
        + QStringLiteral("\n\n");
}

QString KiteProject::uploadTicketLink() const
{
    return kiteSettings->supportTicketUrl + tr("?subPreset=ERROR_UPL: ") + name
        + tr("&msgPreset=Hi Zeduvared Support,\n\nthe upload of my render job failed\n")
        + tr("The error message is: ") + uploadErrorText
        + tr("\nPlease check what is causing this problem.\n") + supportInformation();
}

void KiteProject::createSupportTicketSlot()
{
    log(QStringLiteral(": createSupportTicketSlot"));
    if (!kiteSettings)
        return;
    const QString link = supportTicketLink();
    log(QStringLiteral(": ticket URL: ") + link);
    kiteSettings->openLinkWithTokenSlot(link);
}

// --- overwrite question ------------------------------------------------------------

// The download list asks with (false, false, true) after adding the file to
// pendingOverwriteList; the answer of the question box comes back with ignore
// false. One question is on screen at a time; files already answered are not
// asked again.
void KiteProject::confirmOverwriteSlot(bool confirm, bool all, bool ignore)
{
    log(QStringLiteral(": confirmOverwriteSlot confirm: ") + QString::number(confirm)
        + QStringLiteral(" all: ") + QString::number(all) + QStringLiteral(" ignore: ") + QString::number(ignore));
    if (ignore) {
        askNextOverwriteQuestion();
        return;
    }

    const QString path = m_overwriteQuestionPath;
    m_overwriteQuestionPath.clear();
    if (all) {
        if (confirm)
            overwriteAll = true;
        else
            ignoreAll = true;
        pendingOverwriteList.clear();
    } else if (!path.isEmpty()) {
        if (confirm)
            overwriteYesList.insert(path);
        else
            m_overwriteSkipList.insert(path);
        pendingOverwriteList.removeAll(path);
    }

    if (confirm) {
        // The file is fetched by the next look at the output.
        if (isDownloaded)
            restartDownloadSlot(false, false);
        else
            checkForFilesToDownload = true;
    }
    askNextOverwriteQuestion();
}

void KiteProject::askNextOverwriteQuestion()
{
    if (overwriteQuestionOpen)
        return;
    while (!pendingOverwriteList.isEmpty()) {
        const QString& path = pendingOverwriteList.constFirst();
        if (overwriteAll || ignoreAll || overwriteYesList.contains(path) || m_overwriteSkipList.contains(path))
            pendingOverwriteList.removeFirst();
        else
            break;
    }
    if (pendingOverwriteList.isEmpty())
        return;

    m_overwriteQuestionPath = pendingOverwriteList.constFirst();
    overwriteQuestionOpen = true;
    auto* question = new ErrorMessage(
        tr("Overwrite File? ") + QStringLiteral("(Job: ") + name + QLatin1Char(')'),
        tr("A file with the same filename but a different filesize is already in the target folder. Overwrite?")
            + QLatin1Char('\n') + m_overwriteQuestionPath,
        this);
    m_overwriteQuestion = question;
    connect(question, &ErrorMessage::confirmOverwriteSignal, this, &KiteProject::confirmOverwriteClickedSlot);
    question->showMessageBox();
}

void KiteProject::confirmOverwriteClickedSlot(bool confirm, bool all, bool ignore)
{
    log(QStringLiteral(": confirmOverwriteClickedSlot"));
    overwriteQuestionOpen = false;
    // The question object is on the call stack.
    if (m_overwriteQuestion)
        m_overwriteQuestion->deleteLater();
    confirmOverwriteSlot(confirm, all, ignore);
}
