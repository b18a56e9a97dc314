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
#include "SettingsStore.h"
#include "clsTextInputFile.h"
#include "clsTextOutputFile.h"
#include "frmTallyhost.h"
#include "modAddress.h"
#include "modNotice.h"
#include "modShell.h"
#include "modTrust.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QLineEdit>
#include <QLocale>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

QString strCommandLine;

namespace {

constexpr auto SettingsAppName = "TallyhostUpdater";

// The one main window. Unloading it clears the pointer; the next reference makes a new one.
QPointer<frmTallyhost> g_form;

bool g_uploading = false;

// How long an upload waits for another copy of the program that is publishing the same page.
std::chrono::milliseconds g_pageLockPatience = std::chrono::seconds(150);

// At most this much of a template line is held at once (the reader's buffer may hold less); a
// longer line goes through in parts.
constexpr qsizetype LinePart = qsizetype(1) << 20;

platform::SettingsStore openStore() {
    return platform::SettingsStore(QString::fromLatin1(SettingsAppName));
}

// Every key the program reads, with its section. A key that is one of these but stands in
// another section, or is spelled in other cases, is not seen where it stands: that is
// reported rather than passed over.
struct KnownSetting {
    const char* section;
    const char* key;
};
constexpr KnownSetting KnownSettings[] = {
    {"FTP", "FTPSite"},         {"FTP", "UserName"},           {"FTP", "Password"},
    {"FTP", "UploadFileName"},  {"FTP", "TrustedCertificate"}, {"HTML", "HTMLTemplate"},
    {"HTML", "IPParseField"},   {"HTML", "UploadDir"},         {"Address", "Source"},
    {"Address", "RouterURL"},   {"Address", "WebURL"},         {"Address", "OnlyWhenChanged"},
    {"Address", "RefreshDays"},
};

// Only spaces count here: a tab or other white space is part of the text.
QString trimSpaces(const QString& s) {
    qsizetype begin = 0;
    qsizetype end = s.size();
    while (begin < end && s.at(begin) == QLatin1Char(' '))
        ++begin;
    while (end > begin && s.at(end - 1) == QLatin1Char(' '))
        --end;
    return s.mid(begin, end - begin);
}

// Operation arguments go in double quotes so that names with spaces stay whole; a quote inside
// a name is doubled.
QString quoted(QString s) {
    s.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + s + QLatin1Char('"');
}

class Hourglass {
public:
    explicit Hourglass(frmTallyhost& form) : m_form(&form) { form.setCursor(Qt::WaitCursor); }
    ~Hourglass() {
        if (m_form)
            m_form->unsetCursor();
    }
    Hourglass(const Hourglass&) = delete;
    Hourglass& operator=(const Hourglass&) = delete;

private:
    QPointer<frmTallyhost> m_form;
};

// Waits for the transfer's command to end while the window stays live. Sleeps in the event
// loop until something happens instead of spinning.
void WaitForTransfer(const platform::Inet& inet) {
    platform::ProcessEventsUntil(&inet, &platform::Inet::CommandFinished,
                                 [&inet] { return !inet.StillExecuting(); });
}

// After a failure the user is taken to the setting at fault, ready to type it anew.
void focusField(QLineEdit* field) {
    field->setFocus();
    field->selectAll();
}

void reportTransferFailure(const platform::Inet& inet) {
    platform::MsgBox(QStringLiteral("Unable to upload file: ") + inet.LastError(),
                     platform::MsgIcon::Critical);
    frmTallyhost& form = MainForm();
    switch (inet.LastFault()) {
    case platform::InetFault::Site:
        focusField(form.txtFTPSite);
        break;
    case platform::InetFault::Login:
        focusField(form.txtPassword);
        break;
    case platform::InetFault::Directory:
        focusField(form.txtUploadDir);
        break;
    case platform::InetFault::Other:
        break;
    }
}

// The date and time as the page shows them, read anew for every line that asks; formatted
// again only when the clock has moved on to another second.
class PageClock {
public:
    const QByteArray& date() {
        refresh();
        return m_date;
    }
    const QByteArray& time() {
        refresh();
        return m_time;
    }

private:
    void refresh() {
        const std::time_t now = std::time(nullptr);
        if (now == m_second && !m_time.isEmpty())
            return;
        m_second = now;
        m_date = PageDate().toLocal8Bit();
        m_time = PageTime().toLocal8Bit();
    }

    std::time_t m_second = 0;
    QByteArray m_date;
    QByteArray m_time;
};

// The window shows the markers capitalised, so that spelling works as well as the lower-case
// one; any other mix of cases stays on the page as written.
constexpr QByteArrayView DateMarker("%date%");
constexpr QByteArrayView TimeMarker("%time%");
constexpr QByteArrayView ShownDateMarker("%Date%");
constexpr QByteArrayView ShownTimeMarker("%Time%");

// Where marker first stands in text at or after from; npos when nowhere.
std::size_t find(QByteArrayView text, QByteArrayView marker, std::size_t from = 0) {
    return std::string_view(text.data(), std::size_t(text.size()))
        .find(std::string_view(marker.data(), std::size_t(marker.size())), from);
}

// Every marker in text replaced by value(), from left to right, never looking again at what
// went in. Answers text itself when it holds no marker; otherwise the result, built in into.
template <typename Value>
QByteArrayView replaceAll(QByteArrayView text, QByteArrayView marker, const Value& value,
                          std::string& into) {
    // An empty marker would match between every two bytes, so it replaces nothing.
    std::size_t hit = marker.isEmpty() ? std::string_view::npos : find(text, marker);
    if (hit == std::string_view::npos)
        return text;
    const QByteArrayView replacement = value();
    into.clear();
    std::size_t from = 0;
    do {
        into.append(text.data() + from, hit - from);
        into.append(replacement.data(), std::size_t(replacement.size()));
        from = hit + std::size_t(marker.size());
    } while ((hit = find(text, marker, from)) != std::string_view::npos);
    into.append(text.data() + from, std::size_t(text.size()) - from);
    return {into.data(), qsizetype(into.size())};
}

// The markers replaced one after the other, each in what the one before left. The date and
// time are asked for only when the line holds their marker.
struct LineFill {
    std::string afterIp;
    std::string afterDate;
    std::string afterShownDate;
    std::string afterTime;
    std::string afterShownTime;

    template <typename Date, typename Time>
    QByteArrayView operator()(QByteArrayView line, QByteArrayView ipMarker, QByteArrayView ip,
                              const Date& date, const Time& time) {
        line = replaceAll(
            line, ipMarker, [ip] { return ip; }, afterIp);
        line = replaceAll(line, DateMarker, date, afterDate);
        line = replaceAll(line, ShownDateMarker, date, afterShownDate);
        line = replaceAll(line, TimeMarker, time, afterTime);
        return replaceAll(line, ShownTimeMarker, time, afterShownTime);
    }
};

// One marker replaced in a line that comes in parts, as in a whole line: from left to right,
// never looking again at what it put in. The last marker-length-1 bytes of each part wait for
// the next one, since a marker may begin there. The replacement is asked for once a line,
// when the line first needs it. What comes out goes to the next marker's stream, after the
// last one to the page.
class MarkerStream {
public:
    MarkerStream(QByteArrayView marker, std::function<QByteArray()> value, MarkerStream* next,
                 clsTextOutputFile& writer)
        : m_marker(marker.toByteArray()), m_lookUp(std::move(value)), m_next(next),
          m_writer(writer) {}

    void feed(QByteArrayView bytes) {
        if (m_marker.isEmpty()) {
            pass(bytes);
            return;
        }
        m_pending += bytes;
        std::size_t from = 0;
        for (std::size_t hit; (hit = find(m_pending, m_marker, from)) != std::string_view::npos;
             from = hit + std::size_t(m_marker.size())) {
            pass(pending(from, hit - from));
            if (!m_haveValue) {
                m_value = m_lookUp();
                m_haveValue = true;
            }
            pass(m_value);
        }
        const std::size_t size = std::size_t(m_pending.size());
        const std::size_t keep = std::min(std::size_t(m_marker.size()) - 1, size - from);
        pass(pending(from, size - keep - from));
        m_pending.remove(0, qsizetype(size - keep));
    }

    // What waits is too short to be a marker: it goes on as it is.
    void endLine() {
        pass(m_pending);
        m_pending.clear();
        m_haveValue = false;
    }

private:
    QByteArrayView pending(std::size_t from, std::size_t size) const {
        return {m_pending.constData() + from, qsizetype(size)};
    }

    void pass(QByteArrayView bytes) {
        if (bytes.isEmpty())
            return;
        if (m_next)
            m_next->feed(bytes);
        else
            m_writer.WritePart(bytes);
    }

    const QByteArray m_marker;
    const std::function<QByteArray()> m_lookUp;
    MarkerStream* const m_next;
    clsTextOutputFile& m_writer;
    QByteArray m_pending;
    QByteArray m_value;
    bool m_haveValue = false;
};

// Whether a line may hold a marker: only a line holding a marker's first byte can.
class MarkerBytes {
public:
    explicit MarkerBytes(QByteArrayView ipMarker) {
        if (!ipMarker.isEmpty() && ipMarker.front() != DateMarker.front())
            m_other = ipMarker.front();
    }

    bool mayHoldMarker(QByteArrayView line) const {
        if (line.isEmpty())
            return false;
        const auto size = std::size_t(line.size());
        return std::memchr(line.data(), DateMarker.front(), size) ||
               (m_other && std::memchr(line.data(), *m_other, size));
    }

private:
    std::optional<char> m_other;
};

void writePage(clsTextInputFile& reader, clsTextOutputFile& writer, const QByteArray& ipMarker,
               const QByteArray& ip) {
    PageClock clock;
    const auto date = [&] {
        return QByteArrayView(clock.date());
    };
    const auto time = [&] {
        return QByteArrayView(clock.time());
    };
    const MarkerBytes markerBytes(ipMarker);
    LineFill fill;

    // A line longer than the reader's buffer goes through the markers in turn, part by part.
    MarkerStream shownTimeStream(
        ShownTimeMarker, [&] { return clock.time(); }, nullptr, writer);
    MarkerStream timeStream(
        TimeMarker, [&] { return clock.time(); }, &shownTimeStream, writer);
    MarkerStream shownDateStream(
        ShownDateMarker, [&] { return clock.date(); }, &timeStream, writer);
    MarkerStream dateStream(
        DateMarker, [&] { return clock.date(); }, &shownDateStream, writer);
    MarkerStream ipStream(
        ipMarker, [&] { return ip; }, &dateStream, writer);

    while (!reader.EndOfFile()) {
        bool lineEnded = false;
        const QByteArrayView line = reader.ReadLineView(LinePart, lineEnded);
        if (!lineEnded) {
            ipStream.feed(line);
            while (!lineEnded)
                ipStream.feed(reader.ReadLineView(LinePart, lineEnded));
            ipStream.endLine();
            dateStream.endLine();
            shownDateStream.endLine();
            timeStream.endLine();
            shownTimeStream.endLine();
            writer.WriteLine({});
            continue;
        }
        if (!markerBytes.mayHoldMarker(line))
            writer.WriteLine(line);
        else
            writer.WriteLine(fill(line, ipMarker, ip, date, time));
    }
}

QString inFolder(const QString& folder, const QString& name) {
    if (folder.isEmpty() || folder.endsWith(QDir::separator()))
        return folder + name;
    return folder + QDir::separator() + name;
}

// Another copy of the program (a scheduled run, say) may be writing or uploading the same page.
// Wait for it rather than overwrite its page half way; give up after a while so that a
// scheduler never piles up runs that hang.
std::unique_ptr<platform::FileLock> lockPage(const QString& pageFolder,
                                             const QString& uploadFileName) {
    auto lock = std::make_unique<platform::FileLock>(
        inFolder(pageFolder, uploadFileName + QStringLiteral(".lock")));
    QDeadlineTimer deadline(g_pageLockPatience);
    for (;;) {
        const platform::FileLock::State state = lock->TryLock();
        // Where no lock can be made, opening the page will say what is wrong.
        if (state != platform::FileLock::State::Busy)
            return lock;
        if (deadline.hasExpired()) {
            platform::MsgBox(QStringLiteral("Another upload of ") + uploadFileName +
                                 QStringLiteral(" is still running. Try again later."),
                             platform::MsgIcon::Critical);
            return nullptr;
        }
        // The window stays live meanwhile. Not a nested event loop: once the window has been
        // closed and the program is ending, that would return at once and spin.
        QTimer pause;
        pause.setSingleShot(true);
        pause.start(std::chrono::milliseconds(100));
        platform::ProcessEventsUntil(&pause, &QTimer::timeout,
                                     [&pause] { return !pause.isActive(); });
    }
}

// The page is written under this name in the page folder and must stay there: no folder part,
// neither "." nor "..", and no control character (a NUL ends the name early where the system
// reads it).
bool isPlainFileName(const QString& name) {
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.category() == QChar::Other_Control)
            return false;
    }
    return true;
}

// Control characters written out, so that a message stays one readable line.
QString visible(const QString& text) {
    QString out;
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

bool checkUploadFileName(QLineEdit& field) {
    const QString name = field.text();
    if (isPlainFileName(name))
        return true;
    platform::MsgBox(QStringLiteral("Unable to use the upload file name \"") + visible(name) +
                         QStringLiteral("\": it must be a plain file name, without \"/\", \"\\\" "
                                        "or control characters, and neither \".\" nor \"..\". "
                                        "Enter a name such as index.htm."),
                     platform::MsgIcon::Critical);
    field.setFocus();
    return false;
}

bool ownPageFolder() {
#if defined(Q_OS_WIN)
    return false;
#else
    return qEnvironmentVariable("windir").isEmpty();
#endif
}

// A page folder of the user's own is made when missing, and anything else found under its
// name is refused rather than used.
bool preparePageFolder(const QString& folder) {
    if (!ownPageFolder())
        return true;
    const QString problem = platform::FileSystemObject().MakePrivateFolder(folder);
    if (problem.isEmpty())
        return true;
    platform::MsgBox(QStringLiteral("Unable to use the page folder ") + folder +
                         QStringLiteral(": ") + problem + QLatin1Char('.'),
                     platform::MsgIcon::Critical);
    return false;
}

// What one upload works from. The window stays live while an upload waits (for the address,
// another run's page, the server); what is typed meanwhile is for the next upload, never checked
// halfway into this one.
struct JobFields {
    QString templatePath;
    QString ipMarker;
    QString site;
    QString userName;
    QString password;
    QString uploadFileName;
    QString uploadDir;
};

JobFields readJobFields(const frmTallyhost& form) {
    return {form.txtHTMLTemplate->text(), form.txtIPParseField[0]->text(),
            form.txtFTPSite->text(),      form.txtUserName->text(),
            form.txtPassword->text(),     form.txtUploadFileName->text(),
            form.txtUploadDir->text()};
}

// Sends the page to the site as typed, with its own scheme or plain FTP without one. False
// when a command failed; the transfer control says why.
bool sendPage(platform::Inet& inet, const JobFields& job, const QString& pagePath,
              const QString& trustedCertificate) {
    inet.setURL(job.site);
    inet.setUserName(job.userName);
    inet.setPassword(job.password);
    inet.setTrustedCertificate(trustedCertificate);

    if (!trimSpaces(job.uploadDir).isEmpty()) {
        inet.Execute(QStringLiteral("CD ") + quoted(job.uploadDir));
        WaitForTransfer(inet);
        if (!inet.LastSucceeded())
            return false;
    }
    inet.Execute(QStringLiteral("PUT ") + quoted(pagePath) + QLatin1Char(' ') +
                 quoted(job.uploadFileName));
    WaitForTransfer(inet);
    return inet.LastSucceeded();
}

} // namespace

void SetPageLockPatience(std::chrono::milliseconds patience) {
    g_pageLockPatience = patience;
}

QString CommandLineText(const QStringList& arguments) {
    return arguments.join(QLatin1Char(' ')).toUpper();
}

bool HasUnattendedSwitch(const QString& commandLine) {
    return commandLine.contains(QLatin1String("/A"), Qt::CaseSensitive);
}

frmTallyhost& MainForm() {
    if (!g_form)
        g_form = new frmTallyhost;
    return *g_form;
}

bool MainFormLoaded() {
    return !g_form.isNull();
}

void Main() {
    strCommandLine = CommandLineText(Application::CommandArguments());

    frmTallyhost& form = MainForm();
    // An unattended run with a window system that nobody sees shows the window without
    // drawing it.
    if (HasUnattendedSwitch(strCommandLine) && platform::IsHeadless())
        form.setAttribute(Qt::WA_DontShowOnScreen);
    form.show();
    LoadSettings();
    form.txtHTMLTemplate->setFocus();

    if (!HasUnattendedSwitch(strCommandLine)) {
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
    // An unattended run ended from its window while the page is still on its way has not
    // published it, and the scheduler must not hear otherwise.
    if (g_uploading && HasUnattendedSwitch(strCommandLine))
        status = std::max(status, 1);
    SaveSettings();
    if (g_form) {
        g_form->hide();
        g_form->deleteLater();
        g_form = nullptr;
    }
    platform::EndProcess(status);
}

void LoadSettings() {
    frmTallyhost& form = MainForm();
    platform::SettingsStore store = openStore();
    const QString ftp = QStringLiteral("FTP");
    const QString html = QStringLiteral("HTML");
    form.txtFTPSite->setText(store.GetSetting(ftp, QStringLiteral("FTPSite")));
    form.txtUserName->setText(store.GetSetting(ftp, QStringLiteral("UserName")));
    form.txtPassword->setText(store.GetSetting(ftp, QStringLiteral("Password")));
    form.txtUploadFileName->setText(store.GetSetting(ftp, QStringLiteral("UploadFileName")));
    form.txtHTMLTemplate->setText(store.GetSetting(html, QStringLiteral("HTMLTemplate")));
    form.txtIPParseField[0]->setText(
        store.GetSetting(html, QStringLiteral("IPParseField"), QStringLiteral("%Tallyhost%")));
    form.txtUploadDir->setText(store.GetSetting(html, QStringLiteral("UploadDir")));

    // A long value reads best from its start; the template's file name, from its end.
    for (QLineEdit* field : form.findChildren<QLineEdit*>())
        field->setCursorPosition(0);
    form.txtHTMLTemplate->end(false);
}

bool ReportMisplacedSettings() {
    platform::SettingsStore store = openStore();
    QStringList problems;
    for (const auto& [section, key] : store.Keys()) {
        const auto known = [&](const KnownSetting& k) {
            return section == QLatin1String(k.section) && key == QLatin1String(k.key);
        };
        if (std::any_of(std::begin(KnownSettings), std::end(KnownSettings), known))
            continue;
        // The key as the program spells it, in its own section where the file's section is
        // only spelled otherwise.
        const KnownSetting* meant = nullptr;
        for (const KnownSetting& k : KnownSettings) {
            if (key.compare(QLatin1String(k.key), Qt::CaseInsensitive) != 0)
                continue;
            if (!meant || section.compare(QLatin1String(k.section), Qt::CaseInsensitive) == 0)
                meant = &k;
        }
        if (!meant)
            continue;
        QString problem =
            key + (section.isEmpty() ? QStringLiteral(" outside any section")
                                     : QStringLiteral(" under [") + section + QLatin1Char(']'));
        const bool spelled = key != QLatin1String(meant->key);
        const bool moved = section != QLatin1String(meant->section);
        if (spelled)
            problem += QStringLiteral(" is spelled ") + QLatin1String(meant->key);
        if (spelled && moved)
            problem += QStringLiteral(" and");
        if (moved)
            problem += QStringLiteral(" belongs under [") + QLatin1String(meant->section) +
                       QLatin1Char(']');
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
    frmTallyhost& form = MainForm();
    platform::SettingsStore store = openStore();
    const QString ftp = QStringLiteral("FTP");
    const QString html = QStringLiteral("HTML");
    store.SaveSetting(ftp, QStringLiteral("FTPSite"), form.txtFTPSite->text());
    store.SaveSetting(ftp, QStringLiteral("UserName"), form.txtUserName->text());
    store.SaveSetting(ftp, QStringLiteral("Password"), form.txtPassword->text());
    store.SaveSetting(ftp, QStringLiteral("UploadFileName"), form.txtUploadFileName->text());
    store.SaveSetting(html, QStringLiteral("HTMLTemplate"), form.txtHTMLTemplate->text());
    store.SaveSetting(html, QStringLiteral("IPParseField"), form.txtIPParseField[0]->text());
    store.SaveSetting(html, QStringLiteral("UploadDir"), form.txtUploadDir->text());
    if (!store.Sync())
        platform::MsgBox(QStringLiteral("Unable to save settings to ") + store.FileName(),
                         platform::MsgIcon::Critical);
}

bool ValidateFields() {
    frmTallyhost& form = MainForm();
    const std::pair<QLineEdit*, const char*> required[] = {
        {form.txtHTMLTemplate, "Must supply HTML Template file name."},
        {form.txtIPParseField[0], "Must supply IP Parse Field to insert IP address."},
        {form.txtFTPSite, "Must supply FTP Site to upload ip address."},
        {form.txtUserName, "Must supply FTP User Name."},
        {form.txtPassword, "Must supply FTP password."},
        {form.txtUploadFileName, "Must supply FTP upload file name."},
    };
    for (const auto& [field, message] : required) {
        if (field->text() == QString()) {
            platform::MsgBox(QString::fromLatin1(message), platform::MsgIcon::None,
                             QString::fromLatin1(SettingsAppName));
            field->setFocus();
            return false;
        }
    }
    return true;
}

QString PageFolder() {
    const QString windir = qEnvironmentVariable("windir");
    if (!windir.isEmpty())
        return windir + QDir::separator() + QStringLiteral("temp");
#if defined(Q_OS_WIN)
    return QStringLiteral("\\temp");
#else
    // Not the shared temporary folder itself, where anyone could plant a link under the page's
    // name or block every run with a page or lock of their own.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (QDir::isAbsolutePath(runtime))
        return runtime + QStringLiteral("/vantrell");
    return QDir::tempPath() + QStringLiteral("/vantrell-") +
           QString::number(platform::CurrentUserId());
#endif
}

QByteArray FillLine(const QByteArray& line, const QByteArray& ipMarker, const QByteArray& ip,
                    const QByteArray& date, const QByteArray& time) {
    LineFill fill;
    return fill(
               line, ipMarker, ip, [&] { return QByteArrayView(date); },
               [&] { return QByteArrayView(time); })
        .toByteArray();
}

QString PageDate() {
    return QLocale().toString(QDate::currentDate(), QStringLiteral("MMM dd yyyy"));
}

QString PageTime() {
    // The locale's long time format carries seconds and a time zone; the page shows no zone.
    const QString format = QLocale().timeFormat(QLocale::LongFormat);
    QString withoutZone;
    bool inQuote = false;
    for (const QChar c : format) {
        if (c == QLatin1Char('\''))
            inQuote = !inQuote;
        if (!inQuote && c == QLatin1Char('t'))
            continue;
        withoutZone += c;
    }
    withoutZone = withoutZone.simplified();
    return QLocale().toString(QTime::currentTime(), withoutZone);
}

bool UploadPage() {
    if (g_uploading)
        return false;
    g_uploading = true;
    struct Done {
        ~Done() { g_uploading = false; }
    } done;

    SaveSettings();
    frmTallyhost& form = MainForm();
    Hourglass hourglass(form);

    if (!ValidateFields() || !checkUploadFileName(*form.txtUploadFileName))
        return false;
    const JobFields job = readJobFields(form);
    platform::Publication publication = DescribePublication();

    // One address for the whole page, settled before anything is written: a source that has
    // none to give stops the upload here.
    if (!FindPublishedAddress(publication.address))
        return false;
    if (HasUnattendedSwitch(strCommandLine) && PublishedAlready(publication))
        return true;

    const QString& templatePath = job.templatePath;
    const QString& uploadFileName = job.uploadFileName;

    clsTextInputFile reader;
    QString templateFolder;
    if (!reader.OpenFile(templateFolder, templatePath)) {
        platform::MsgBox(QStringLiteral("Unable to open file: ") + templatePath,
                         platform::MsgIcon::Critical);
        focusField(form.txtHTMLTemplate);
        return false;
    }

    QString pageFolder = PageFolder();
    if (!preparePageFolder(pageFolder))
        return false;
    const QString pagePath = inFolder(pageFolder, uploadFileName);
    // Writing the page replaces its content: a template that is the page would be lost.
    if (platform::FileSystemObject().SameFile(templatePath, pagePath)) {
        platform::MsgBox(QStringLiteral("Unable to write the page ") + pagePath +
                             QStringLiteral(": it is the template ") + templatePath +
                             QStringLiteral(" itself, and writing the page would destroy the "
                                            "template. Keep the template in another folder, or "
                                            "choose another upload file name."),
                         platform::MsgIcon::Critical);
        return false;
    }
    std::unique_ptr<platform::FileLock> pageLock = lockPage(pageFolder, uploadFileName);
    if (!pageLock)
        return false;

    clsTextOutputFile writer;
    if (!writer.OpenFile(pageFolder, uploadFileName))
        return false;

    writePage(reader, writer, trimSpaces(job.ipMarker).toLocal8Bit(),
              publication.address.toLocal8Bit());
    writer.CloseFile();
    reader.CloseFile();

    // A page that did not reach the disk whole must not replace the one on the server.
    const QString writeFailure = writer.WriteFailure();
    if (!writeFailure.isEmpty()) {
        pageLock.reset();
        platform::MsgBox(QStringLiteral("Unable to write file: ") + pagePath +
                             QStringLiteral(" - ") + writeFailure,
                         platform::MsgIcon::Critical);
        return false;
    }

    // The first attempt may meet a server whose certificate or host key is new; once the user
    // trusts it, the page goes again. What they trusted and is refused anyway is not asked
    // about a second time.
    platform::Inet& inet = *form.inetFTP;
    const QString ftp = QStringLiteral("FTP");
    const QString trustedKey = QStringLiteral("TrustedCertificate");
    QString trustedCertificate = openStore().GetSetting(ftp, trustedKey);
    QString trustedNow;
    while (!sendPage(inet, job, pagePath, trustedCertificate)) {
        const platform::TrustProblem problem = inet.LastTrustProblem();
        if (problem.kind == platform::TrustProblem::Kind::None ||
            problem.fingerprint == trustedNow) {
            // Another run waiting for the page need not wait for someone to read this.
            pageLock.reset();
            reportTransferFailure(inet);
            return false;
        }
        platform::SettingsStore store = openStore();
        // An unattended run only refuses, with a message; it never tries again.
        if (HasUnattendedSwitch(strCommandLine))
            pageLock.reset();
        if (!AskToTrust(problem, HasUnattendedSwitch(strCommandLine), inet.KnownHostsFile(),
                        store.FileName()))
            return false;
        trustedNow = problem.fingerprint;
        if (problem.kind == platform::TrustProblem::Kind::Certificate) {
            trustedCertificate = problem.fingerprint;
            store.SaveSetting(ftp, trustedKey, trustedCertificate);
            if (!store.Sync())
                platform::MsgBox(QStringLiteral("Unable to save settings to ") + store.FileName(),
                                 platform::MsgIcon::Critical);
        }
    }
    pageLock.reset();
    RecordPublished(publication);

    // Old copies the server would not let go are said once, beside the success.
    const QString note = inet.LastNote();
    if (!HasUnattendedSwitch(strCommandLine))
        platform::MsgBox(QStringLiteral("File successfully loaded.") +
                             (note.isEmpty() ? QString() : QStringLiteral("\n\n") + note),
                         platform::MsgIcon::Information, QStringLiteral("Vantrell"));
    else if (!note.isEmpty())
        platform::MsgBox(note, platform::MsgIcon::Exclamation);
    return true;
}

void OpenWebsite() {
    ShellDocument(QStringLiteral("Open"), QString::fromLatin1(ProductWebsite), 0, 0);
}

void ReportUnexpectedError(const QString& what) {
    platform::MsgBox(what, platform::MsgIcon::Critical);
    platform::EndProcess(2);
}
