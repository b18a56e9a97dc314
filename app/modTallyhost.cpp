#include "modTallyhost.h"

#include "AppInfo.h"
#include "Application.h"
#include "FileLock.h"
#include "FileSystemObject.h"
#include "Inet.h"
#include "MessageLine.h"
#include "MsgBox.h"
#include "Process.h"
#include "ProgramConfig.h"
#include "PublishHistory.h"
#include "SettingsStore.h"
#include "clsTextInputFile.h"
#include "clsTextOutputFile.h"
#include "frmTallyhost.h"
#include "modAddress.h"
#include "modHistory.h"
#include "modNotice.h"
#include "modPage.h"
#include "modPageCheck.h"
#include "modPassword.h"
#include "modSettings.h"
#include "modShell.h"
#include "modStatus.h"
#include "modUpload.h"

#include <QApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>

#include <algorithm>
#include <memory>
#include <optional>
#include <utility>

QString strCommandLine;

namespace {

// The one main window. Unloading it clears the pointer; the next reference makes a new one.
QPointer<frmTallyhost> g_form;

bool g_uploading = false;
// Someone asked to stop the running upload.
bool g_cancelled = false;
// The whole page is on the server and is being put in place: stopped now, the server may keep
// the old page or the new one.
bool g_replacing = false;
// What the history is to keep of the running upload.
platform::HistoryEntry* g_record = nullptr;
// File > Exit was chosen during an upload: the status to end with once it has stopped.
std::optional<int> g_exitAfterUpload;

// NotSeen: on the server, but not what visitors see where they open the page.
enum class JobEnd { Published, Unchanged, Failed, NotSeen };

// The addresses that go in place of the page's markers, and what was published with them.
class PageAddresses {
public:
    explicit PageAddresses(const QString& ipMarker)
        : publication(DescribePublication()), ipMarker(ipMarker.toLocal8Bit()),
          ipv6Marker(IPv6Marker().toLocal8Bit()) {
        // The same marker twice stands for the IPv4 address, as it always did.
        if (ipv6Marker == this->ipMarker) {
            ipv6Marker.clear();
            publication.marker6.clear();
        }
    }

    // One address for the whole page, settled before anything is written. False when the
    // source has none to give.
    bool Find(platform::HistoryEntry& record) {
        if (!FindPublishedAddress(publication.address))
            return false;
        record.address = publication.address;
        // Where the template was read for the comparison with the last upload, the IPv6
        // address is wanted now; else when the page first needs it.
        if (!publication.marker6.isEmpty())
            IPv6();
        Record(record);
        return true;
    }

    // Asked once, and only for a page that has its marker. Having none leaves the marker
    // empty and the page goes all the same.
    QByteArray IPv6() {
        if (!m_askedIPv6) {
            m_askedIPv6 = true;
            publication.marker6 = QString::fromLocal8Bit(ipv6Marker);
            FindPublishedIPv6Address(publication.address6, publication.why6);
        }
        return publication.address6.toLocal8Bit();
    }

    void Record(platform::HistoryEntry& record) const {
        record.address6 = publication.address6;
        record.ipv6Note = IPv6Note(publication);
    }

    platform::Publication publication;
    const QByteArray ipMarker;
    QByteArray ipv6Marker;

private:
    bool m_askedIPv6 = false;
};

// A page never published is never to be mistaken for what the server holds.
struct RemoveWhenCancelled {
    const QString& path;
    ~RemoveWhenCancelled() {
        if (g_cancelled && !path.isEmpty())
            QFile::remove(path);
    }
};

// Writes the page from the template into the page folder, holding the page's lock from before
// the page is opened. False, after saying why, when no whole page could be written.
bool writePageFile(frmTallyhost& form, const JobFields& job, PageAddresses& addresses,
                   platform::HistoryEntry& record, QString& pagePath,
                   std::unique_ptr<platform::FileLock>& pageLock) {
    clsTextInputFile reader;
    QString templateFolder;
    if (!reader.OpenFile(templateFolder, job.templatePath)) {
        platform::MsgBox(QStringLiteral("Unable to open file: ") + job.templatePath,
                         platform::MsgIcon::Critical);
        return false;
    }

    QString pageFolder = PageFolder();
    if (!PreparePageFolder(pageFolder))
        return false;
    const QString page = InFolder(pageFolder, job.uploadFileName);
    // Writing the page replaces its content: a template that is the page would be lost.
    if (platform::FileSystemObject().SameFile(job.templatePath, page)) {
        platform::MsgBox(QStringLiteral("Unable to write the page ") + page +
                             QStringLiteral(": it is the template ") + job.templatePath +
                             QStringLiteral(" itself, and writing the page would destroy the "
                                            "template. Keep the template in another folder, or "
                                            "choose another upload file name."),
                         platform::MsgIcon::Critical);
        return false;
    }
    pageLock = LockPage(form, pageFolder, job.uploadFileName);
    if (!pageLock)
        return false;

    clsTextOutputFile writer;
    if (!writer.OpenFile(pageFolder, job.uploadFileName))
        return false;
    pagePath = page;
    WritePage(reader, writer, addresses.ipMarker, addresses.ipv6Marker,
              addresses.publication.address.toLocal8Bit(), [&] { return addresses.IPv6(); });
    addresses.Record(record);
    writer.CloseFile();
    reader.CloseFile();

    // A page that did not reach the disk whole must not replace the one on the server.
    const QString writeFailure = writer.WriteFailure();
    if (writeFailure.isEmpty())
        return true;
    pageLock.reset();
    platform::MsgBox(QStringLiteral("Unable to write file: ") + pagePath + QStringLiteral(" - ") +
                         writeFailure,
                     platform::MsgIcon::Critical);
    return false;
}

// The job's story: the fields checked, the address found, the page written and sent, and what
// was published kept. The status line says where it has got to; what the history keeps of the
// attempt goes into record on the way. An unattended run may keep the last upload when the
// page would be the same (mayKeepLast).
JobEnd publishPage(frmTallyhost& form, platform::HistoryEntry& record, QString& pagePath,
                   bool mayKeepLast) {
    // A password in a keyring that could not be read is not to be taken for none.
    if (!PasswordAtHand(form.txtFTPSite->text(), form.txtPassword->text()))
        return JobEnd::Failed;
    if (!ValidateFields() || !CheckUploadFileName(*form.txtUploadFileName))
        return JobEnd::Failed;
    const JobFields job = ReadJobFields(form);
    record.site = job.site;
    record.directory = job.uploadDir;
    record.file = job.uploadFileName;
    record.source = PublishedAddressSource();

    PageAddresses addresses(job.ipMarker);
    ShowStatus(form, QStringLiteral("Finding the public address"));
    if (!addresses.Find(record))
        return JobEnd::Failed;
    if (mayKeepLast && RunsUnattended() && PublishedAlready(addresses.publication))
        return JobEnd::Unchanged;

    std::unique_ptr<platform::FileLock> pageLock;
    // The page goes while the lock is held: by then another run may be writing a page of its
    // own.
    const RemoveWhenCancelled removeWhenCancelled{pagePath};
    if (!writePageFile(form, job, addresses, record, pagePath, pageLock))
        return JobEnd::Failed;
    // Where visitors' view is looked at, the page is known there by the bytes sent.
    if (!PageURL().isEmpty()) {
        addresses.publication.pageHash = platform::FileHash(pagePath);
        addresses.publication.pageSize = QFileInfo(pagePath).size();
    }
    if (!SendPage(form, job, pagePath, pageLock, g_replacing))
        return JobEnd::Failed;
    pageLock.reset();
    record.pageHash = addresses.publication.pageHash;
    RecordPublished(addresses.publication);
    return JobEnd::Published;
}

// Where visitors open the page, it is looked at after the upload. A run that found nothing to
// upload looks as well, and uploads once more when what is there is not the page published
// last. A page on the server that visitors do not see is said, and is not uploaded again.
JobEnd seenByVisitors(frmTallyhost& form, platform::HistoryEntry& record, QString& pagePath,
                      JobEnd end) {
    const QString url = PageURL();
    if (url.isEmpty() || (end != JobEnd::Published && end != JobEnd::Unchanged))
        return end;
    std::optional<platform::PageSight> sight;
    if (end == JobEnd::Unchanged) {
        const std::optional<platform::Publication> last = platform::LoadPublication();
        sight = LookAtPage(
            &form, url, {last ? last->pageHash : QByteArray(), last ? last->pageSize : 0}, false);
        if (sight && sight->NotOurs()) {
            sight.reset();
            end = publishPage(form, record, pagePath, false);
        }
    }
    if (end == JobEnd::Published)
        sight = LookAtPage(&form, url, {record.pageHash, QFileInfo(pagePath).size()}, true);
    // Stopped while looking: what is on the server stands, unlooked at.
    if (!sight)
        return end;
    record.pageUrl = platform::PageUrlForPeople(url);
    if (sight->Seen())
        return end;
    record.message = sight->Said(url);
    platform::MsgBox(QStringLiteral("Uploaded, not seen: ") + record.message,
                     platform::MsgIcon::Exclamation);
    return JobEnd::NotSeen;
}

// What the history keeps of how the attempt ended.
void recordEnd(JobEnd end, platform::HistoryEntry& record, const platform::MessageWatch& messages,
               const platform::Inet& inet) {
    record.time = QDateTime::currentDateTimeUtc();
    switch (end) {
    case JobEnd::Published:
        record.result = platform::HistoryEntry::Result::Published;
        // What the success has to say: a page overwritten in place, old copies left.
        if (record.message.isEmpty())
            record.message = inet.LastNote();
        break;
    case JobEnd::Unchanged:
        record.result = platform::HistoryEntry::Result::Unchanged;
        break;
    case JobEnd::NotSeen:
        record.result = platform::HistoryEntry::Result::NotSeen;
        break;
    case JobEnd::Failed:
        if (g_cancelled) {
            record.result = platform::HistoryEntry::Result::Cancelled;
            // Where the transfer really was when it stopped, not where the status line had got.
            record.message =
                inet.CancelledDuring() == platform::Inet::Stage::Replacing
                    ? QStringLiteral("stopped while the page was being put in place; the server "
                                     "may hold the old page or the new one")
                    : QStringLiteral("Cancelled");
        } else {
            record.result = platform::HistoryEntry::Result::Failed;
            if (const std::optional<platform::Message> said = messages.Last())
                record.message = said->text;
        }
        break;
    }
}

} // namespace

QString CommandLineText(const QStringList& arguments) {
    return arguments.join(QLatin1Char(' ')).toUpper();
}

bool HasUnattendedSwitch(const QString& commandLine) {
    return commandLine.contains(QLatin1String("/A"), Qt::CaseSensitive);
}

bool RunsUnattended() {
    if (HasUnattendedSwitch(strCommandLine))
        return true;
    for (const QString& word : strCommandLine.split(QLatin1Char(' ')))
        if (word == QLatin1String("--WATCH") || word.startsWith(QLatin1String("--WATCH=")))
            return true;
    return false;
}

frmTallyhost& MainForm() {
    if (g_form)
        return *g_form;
    g_form = new frmTallyhost;
    // Each command of the window calls one procedure.
    QObject::connect(g_form, &frmTallyhost::uploadRequested, [] { UploadPage(); });
    QObject::connect(g_form, &frmTallyhost::cancelRequested, [] { CancelUpload(); });
    QObject::connect(g_form, &frmTallyhost::exitRequested, [] { ExitProgram(); });
    QObject::connect(g_form, &frmTallyhost::optionsRequested, [] { ShowOptions(); });
    QObject::connect(g_form, &frmTallyhost::historyRequested, [] { ShowHistory(); });
    QObject::connect(g_form, &frmTallyhost::websiteRequested, [] { OpenWebsite(); });
    g_form->mayClose = [] {
        return QueryUnload();
    };
    return *g_form;
}

// The program's own timer and watcher say so in their units' environment. The Windows Task
// Scheduler's tasks cannot, and there every unattended run counts as the schedule's, as before.
bool StartedBySchedule() {
#if defined(Q_OS_WIN)
    return true;
#else
    return qEnvironmentVariable("VANTRELL_STARTED_BY") == QLatin1String("schedule");
#endif
}

bool MainFormLoaded() {
    return !g_form.isNull();
}

void Main() {
    strCommandLine = CommandLineText(Application::CommandArguments());

    frmTallyhost& form = MainForm();
    // An unattended run with a window system that nobody sees shows the window without
    // drawing it.
    if (RunsUnattended() && platform::IsHeadless())
        form.setAttribute(Qt::WA_DontShowOnScreen);
    form.show();
    LoadSettings();
    form.txtHTMLTemplate->setFocus();
    // What happened last, whether from here or on the schedule.
    const QList<platform::HistoryEntry> history = platform::ReadHistory();
    if (!history.isEmpty())
        ShowOutcome(form, history.last());

    if (!RunsUnattended()) {
        ReportMisplacedSettings();
        return;
    }
    bool uploaded = false;
    const std::optional<platform::Publication> before = platform::LoadPublication();
    {
        const platform::MessageLine oneLine;
        // A value the program does not see would send the page to the wrong place, or
        // nowhere, while the scheduler hears that all went well.
        uploaded = ReportMisplacedSettings() && UploadPage();
    }
    NoticeUnattendedRun(uploaded, before);
    ExitProgram(uploaded ? 0 : 1);
}

void ExitProgram(int status) {
    // Stopped the way Cancel stops it, the upload leaves the server's page as it was, its own
    // page removed and its attempt in the history; the program ends once it has unwound.
    if (g_uploading && !g_cancelled && !RunsUnattended()) {
        if (!QueryUnload())
            return;
        // It may have ended on its own while the question was open.
        if (g_uploading) {
            g_exitAfterUpload = status;
            return;
        }
    }
    // An unattended run ended from its window while the page is still on its way has not
    // published it, and the scheduler must not hear otherwise.
    if (g_uploading && RunsUnattended())
        status = std::max(status, 1);
    if (g_uploading && g_record) {
        g_record->time = QDateTime::currentDateTimeUtc();
        g_record->result = platform::HistoryEntry::Result::Cancelled;
        g_record->message = QStringLiteral("Stopped by File > Exit");
        platform::AddToHistory(*g_record);
        g_record = nullptr;
    }
    SaveSettings();
    if (g_form) {
        g_form->hide();
        g_form->deleteLater();
        g_form = nullptr;
    }
    platform::EndProcess(status);
}

void LoadSettings() {
    using platform::SettingKey;
    frmTallyhost& form = MainForm();
    platform::SettingsStore store = OpenSettings();
    form.txtFTPSite->setText(store.GetSetting(SettingKey::FTPSite));
    form.txtUserName->setText(store.GetSetting(SettingKey::UserName));
    form.txtPassword->setText(
        LoadPassword(store, form.txtFTPSite->text(), form.txtUserName->text()));
    form.txtUploadFileName->setText(store.GetSetting(SettingKey::UploadFileName));
    form.txtHTMLTemplate->setText(store.GetSetting(SettingKey::HTMLTemplate));
    form.txtIPParseField[0]->setText(store.GetSetting(SettingKey::IPParseField));
    form.txtUploadDir->setText(store.GetSetting(SettingKey::UploadDir));

    // A long value reads best from its start; the template's file name, from its end.
    for (QLineEdit* field : form.findChildren<QLineEdit*>())
        field->setCursorPosition(0);
    form.txtHTMLTemplate->end(false);
}

bool ReportMisplacedSettings() {
    platform::SettingsStore store = OpenSettings();
    QStringList problems;
    for (const auto& [section, key] : store.Keys()) {
        // The key as the program spells it, in its own section where the file's section is
        // only spelled otherwise.
        const platform::Setting* meant = platform::MisplacedSetting(section, key);
        if (!meant)
            continue;
        QString problem =
            key + (section.isEmpty() ? QStringLiteral(" outside any section")
                                     : QStringLiteral(" under [") + section + QLatin1Char(']'));
        const bool spelled = key != meant->Key();
        const bool moved = section != meant->Section();
        if (spelled)
            problem += QStringLiteral(" is spelled ") + meant->Key();
        if (spelled && moved)
            problem += QStringLiteral(" and");
        if (moved)
            problem += QStringLiteral(" belongs under [") + meant->Section() + QLatin1Char(']');
        problems << problem;
    }
    if (problems.isEmpty())
        return true;
    platform::MsgBox(QStringLiteral("Unable to use settings in ") + store.FileName() +
                         QStringLiteral(": ") + problems.join(QStringLiteral("; ")) +
                         QLatin1Char('.'),
                     platform::MsgIcon::Exclamation);
    return false;
}

void SaveSettings() {
    using platform::SettingKey;
    frmTallyhost& form = MainForm();
    platform::SettingsStore store = OpenSettings();
    store.SaveSetting(SettingKey::FTPSite, form.txtFTPSite->text());
    store.SaveSetting(SettingKey::UserName, form.txtUserName->text());
    SavePassword(store, form.txtFTPSite->text(), form.txtUserName->text(),
                 form.txtPassword->text());
    store.SaveSetting(SettingKey::UploadFileName, form.txtUploadFileName->text());
    store.SaveSetting(SettingKey::HTMLTemplate, form.txtHTMLTemplate->text());
    store.SaveSetting(SettingKey::IPParseField, form.txtIPParseField[0]->text());
    store.SaveSetting(SettingKey::UploadDir, form.txtUploadDir->text());
    SyncSettings(store);
}

bool ValidateFields() {
    frmTallyhost& form = MainForm();
    // An SSH server may take the user's key instead; the login says what it tried.
    const bool ssh =
        form.txtFTPSite->text().trimmed().startsWith(QLatin1String("sftp://"), Qt::CaseInsensitive);
    const std::pair<QLineEdit*, const char*> required[] = {
        {form.txtHTMLTemplate, "Must supply HTML Template file name."},
        {form.txtIPParseField[0], "Must supply IP Parse Field to insert IP address."},
        {form.txtFTPSite, "Must supply FTP Site to upload ip address."},
        {form.txtUserName, "Must supply FTP User Name."},
        {form.txtPassword, "Must supply FTP password."},
        {form.txtUploadFileName, "Must supply FTP upload file name."},
    };
    for (const auto& [field, message] : required) {
        if (field->text() == QString() && !(ssh && field == form.txtPassword)) {
            platform::MsgBox(QString::fromLatin1(message) +
                                 (field == form.txtPassword ? PasswordHint() : QString()),
                             platform::MsgIcon::None, platform::SettingsStoreName());
            field->setFocus();
            return false;
        }
    }
    return true;
}

bool UploadPage() {
    if (g_uploading)
        return false;
    g_uploading = true;
    g_cancelled = false;
    g_replacing = false;
    platform::HistoryEntry record;
    record.start = !RunsUnattended()     ? platform::HistoryEntry::Start::Window
                   : StartedBySchedule() ? platform::HistoryEntry::Start::Schedule
                                         : platform::HistoryEntry::Start::Unattended;
    struct Done {
        ~Done() {
            g_uploading = false;
            g_cancelled = false;
            g_record = nullptr;
        }
    } done;
    g_record = &record;

    SaveSettings();
    frmTallyhost& form = MainForm();
    Hourglass hourglass(form);
    BusyWindow busy(form);
    platform::MessageWatch messages;

    QString pagePath;
    const JobEnd end =
        seenByVisitors(form, record, pagePath, publishPage(form, record, pagePath, true));
    recordEnd(end, record, messages, *form.inetFTP);
    // File > Exit has kept it already, on its way out.
    if (g_record)
        platform::AddToHistory(record);
    g_record = nullptr;
    if (g_form == &form)
        ShowOutcome(form, record);

    const bool right = end == JobEnd::Published || end == JobEnd::Unchanged;
    if (const std::optional<int> status = std::exchange(g_exitAfterUpload, std::nullopt)) {
        ExitProgram(*status);
        return right;
    }
    if (end == JobEnd::Published) {
        // Old copies the server would not let go are said once, beside the success.
        const QString note = form.inetFTP->LastNote();
        if (!RunsUnattended())
            platform::MsgBox(QStringLiteral("File successfully loaded.") +
                                 (note.isEmpty() ? QString() : QStringLiteral("\n\n") + note),
                             platform::MsgIcon::Information, QStringLiteral("Vantrell"));
        else if (!note.isEmpty())
            platform::MsgBox(note, platform::MsgIcon::Exclamation);
    }
    return right;
}

bool UploadCancelled() {
    return g_uploading && g_cancelled;
}

bool UploadReplacing() {
    return g_uploading && g_replacing;
}

void CancelUpload() {
    if (!g_uploading || g_cancelled)
        return;
    g_cancelled = true;
    if (g_form) {
        ShowStatus(*g_form, QStringLiteral("Cancelling"));
        g_form->inetFTP->Cancel();
    }
}

bool QueryUnload() {
    if (!g_uploading)
        return true;
    // Enter keeps the upload going: a page cut short is the costlier mistake.
    if (!platform::MsgBoxChoice(
            QStringLiteral("An upload is still running. Stop it and close Vantrell?"),
            QStringLiteral("Stop the upload"), QStringLiteral("Keep uploading"), false))
        return false;
    CancelUpload();
    return true;
}

void OpenWebsite() {
    ShellDocument(QStringLiteral("Open"), QString::fromLatin1(ProductWebsite), 0, 0);
}

void ReportUnexpectedError(const QString& what) {
    platform::MsgBox(what, platform::MsgIcon::Critical);
    platform::EndProcess(2);
}
