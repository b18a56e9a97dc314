#include "modPage.h"

#include "FileLock.h"
#include "FileSystemObject.h"
#include "MsgBox.h"
#include "PageTemplate.h"
#include "Process.h"
#include "clsTextInputFile.h"
#include "clsTextOutputFile.h"
#include "frmTallyhost.h"
#include "modStatus.h"
#include "modTallyhost.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLineEdit>
#include <QTimer>

namespace {

std::chrono::milliseconds g_pageLockPatience = std::chrono::seconds(150);

// At most this much of a template line is held at once (the reader's buffer may hold less); a
// longer line goes through in parts.
constexpr qsizetype LinePart = qsizetype(1) << 20;

bool ownPageFolder() {
#if defined(Q_OS_WIN)
    return false;
#else
    return qEnvironmentVariable("windir").isEmpty();
#endif
}

// No folder part, neither "." nor "..", and no control character (a NUL ends the name early
// where the system reads it).
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

// The text file writer as the page's filling sees it.
class PageWriter : public PageSink {
public:
    explicit PageWriter(clsTextOutputFile& writer) : m_writer(writer) {}
    void WritePart(QByteArrayView part) override { m_writer.WritePart(part); }
    void WriteLine(QByteArrayView line) override { m_writer.WriteLine(line); }

private:
    clsTextOutputFile& m_writer;
};

} // namespace

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

QString InFolder(const QString& folder, const QString& name) {
    if (folder.isEmpty() || folder.endsWith(QDir::separator()))
        return folder + name;
    return folder + QDir::separator() + name;
}

// Anything else found under the folder's name is refused rather than used.
bool PreparePageFolder(const QString& folder) {
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

bool CheckUploadFileName(QLineEdit& field) {
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

// Another copy of the program (a scheduled run, say) may be writing or uploading the same page.
// Wait for it rather than overwrite its page half way; give up after a while so that a
// scheduler never piles up runs that hang.
std::unique_ptr<platform::FileLock> LockPage(frmTallyhost& form, const QString& pageFolder,
                                             const QString& uploadFileName) {
    auto lock = std::make_unique<platform::FileLock>(
        InFolder(pageFolder, uploadFileName + QStringLiteral(".lock")));
    QDeadlineTimer deadline(g_pageLockPatience);
    for (;;) {
        const platform::FileLock::State state = lock->TryLock();
        // Where no lock can be made, opening the page will say what is wrong.
        if (state != platform::FileLock::State::Busy)
            return lock;
        // Cancelled, or the window unloaded as the program ends.
        if (UploadCancelled() || !MainFormLoaded())
            return nullptr;
        ShowStatus(form, QStringLiteral("Waiting for another upload of this page"));
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

void SetPageLockPatience(std::chrono::milliseconds patience) {
    g_pageLockPatience = patience;
}

void WritePage(clsTextInputFile& reader, clsTextOutputFile& writer, const QByteArray& ipMarker,
               const QByteArray& ipv6Marker, const QByteArray& ip,
               const std::function<QByteArray()>& lookUpIPv6) {
    PageClock clock;
    PageWriter page(writer);
    PageFill fill(ipMarker, ipv6Marker,
                  {[&] { return ip; }, lookUpIPv6, [&] { return clock.Date(); },
                   [&] {
                       return clock.Time();
                   }},
                  page);
    while (!reader.EndOfFile()) {
        bool lineEnded = false;
        const QByteArrayView line = reader.ReadLineView(LinePart, lineEnded);
        if (lineEnded) {
            fill.Line(line);
            continue;
        }
        // A line longer than the reader's buffer goes through in parts.
        fill.Part(line);
        while (!lineEnded)
            fill.Part(reader.ReadLineView(LinePart, lineEnded));
        fill.EndLine();
    }
}
