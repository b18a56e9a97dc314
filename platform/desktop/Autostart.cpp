#include "Autostart.h"

#include "ProgramConfig.h"
#include "UserFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#if defined(Q_OS_WIN)
#include <QSettings>
#endif

#include <algorithm>
#include <utility>

namespace platform {

namespace {

#if defined(Q_OS_WIN)
const QString RunKey =
    QStringLiteral("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run");

QString runValue(const QString& name) {
    return QStringLiteral("Vantrell ") + name;
}

// The command line as Windows splits it: every argument in double quotes.
QString commandLine(const QString& program, const QStringList& arguments) {
    QStringList parts{QDir::toNativeSeparators(program)};
    parts += arguments;
    for (QString& part : parts)
        part = QLatin1Char('"') + part + QLatin1Char('"');
    return parts.join(QLatin1Char(' '));
}

// Why the change to the Run key did not reach the registry; empty when it did.
QString runKeyProblem(QSettings& run) {
    run.sync();
    if (run.status() == QSettings::NoError)
        return {};
    return QStringLiteral("cannot write to the registry key ") + RunKey;
}
#else
// One argument of a desktop entry's Exec key: "%" doubled so that it is no field code, and an
// argument with any of the characters reserved there in double quotes, with the ones special
// within them escaped; then every backslash doubled once more for the key's string value.
QString execArgument(const QString& argument) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    const bool plain =
        !argument.isEmpty() && std::none_of(argument.begin(), argument.end(),
                                            [](QChar c) { return reserved.contains(c); });
    if (plain)
        return QString(argument).replace(QLatin1Char('%'), QLatin1String("%%"));
    QString quoted;
    for (const QChar c : argument) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
            c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    quoted.replace(QLatin1Char('%'), QLatin1String("%%"));
    quoted.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

// A key's value on one line.
QString oneLine(QString text) {
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text;
}
#endif

} // namespace

AutostartEntry::AutostartEntry(QString name) : m_name(std::move(name)) {}

QString AutostartEntry::Path() const {
#if defined(Q_OS_WIN)
    return {};
#else
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!QDir::isAbsolutePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/autostart/") + QString::fromLatin1(DesktopId) +
           QLatin1Char('-') + m_name + QStringLiteral(".desktop");
#endif
}

bool AutostartEntry::Exists() const {
#if defined(Q_OS_WIN)
    return QSettings(RunKey, QSettings::NativeFormat).contains(runValue(m_name));
#else
    return QFile::exists(Path());
#endif
}

bool AutostartEntry::Set(const QString& caption, const QString& program,
                         const QStringList& arguments) {
    m_error.clear();
#if defined(Q_OS_WIN)
    Q_UNUSED(caption);
    QSettings run(RunKey, QSettings::NativeFormat);
    run.setValue(runValue(m_name), commandLine(program, arguments));
    m_error = runKeyProblem(run);
    return m_error.isEmpty();
#else
    QStringList exec{execArgument(program)};
    for (const QString& argument : arguments)
        exec << execArgument(argument);
    const QByteArray text = (QStringLiteral("# Written by Vantrell (Tools > Options), which "
                                            "removes it again.\n[Desktop Entry]\n"
                                            "Type=Application\nName=") +
                             oneLine(caption) + QStringLiteral("\nExec=") + exec.join(u' ') +
                             QStringLiteral("\nIcon=vantrell\nTerminal=false\nNoDisplay=true\n"
                                            "X-GNOME-Autostart-enabled=true\n"))
                                .toUtf8();
    const QString path = Path();
    if (!QDir().mkpath(QFileInfo(path).path())) {
        m_error = QStringLiteral("cannot make the folder ") + QFileInfo(path).path();
        return false;
    }
    // Readable by all, as desktop entries are.
    QString problem;
    if (WriteFileWhole(path, text, &problem,
                       QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                           QFileDevice::ReadOther))
        return true;
    m_error = QStringLiteral("cannot write %1 (%2)").arg(path, problem);
    return false;
#endif
}

bool AutostartEntry::Remove() {
    m_error.clear();
#if defined(Q_OS_WIN)
    QSettings run(RunKey, QSettings::NativeFormat);
    run.remove(runValue(m_name));
    m_error = runKeyProblem(run);
    return m_error.isEmpty();
#else
    const QString path = Path();
    if (!QFile::exists(path) || QFile::remove(path))
        return true;
    m_error = QStringLiteral("cannot remove ") + path;
    return false;
#endif
}

} // namespace platform
