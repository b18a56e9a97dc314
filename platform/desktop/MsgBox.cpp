#include "MsgBox.h"

#include "AppInfo.h"
#include "MessageLine.h"

#include <QApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace platform {

namespace {

MessageHandler& handlerSlot() {
    static MessageHandler handler;
    return handler;
}

Message& lastMessageSlot() {
    static Message last;
    return last;
}

QuestionHandler& questionSlot() {
    static QuestionHandler handler;
    return handler;
}

SecretHandler& secretSlot() {
    static SecretHandler handler;
    return handler;
}

MessageWatch*& innermostWatch() {
    static MessageWatch* watch = nullptr;
    return watch;
}

bool isHeadlessPlatform(const QString& name) {
    return name == QLatin1String("offscreen") || name == QLatin1String("minimal");
}

// A message opens centred over the window it is about: the one in front, or else the
// program's main window, rather than wherever the window system puts a window of its own.
QWidget* messageOwner() {
    if (QWidget* modal = QApplication::activeModalWidget())
        return modal;
    if (QWidget* active = QApplication::activeWindow())
        return active;
    for (QWidget* window : QApplication::topLevelWidgets())
        if (window->isVisible() && qobject_cast<QMainWindow*>(window))
            return window;
    return nullptr;
}

void showModal(const Message& m) {
    if (IsHeadless()) {
        MessageLine::Say(m);
        return;
    }
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (m.icon) {
    case MsgIcon::None:
        break;
    case MsgIcon::Critical:
        icon = QMessageBox::Critical;
        break;
    case MsgIcon::Question:
        icon = QMessageBox::Question;
        break;
    case MsgIcon::Exclamation:
        icon = QMessageBox::Warning;
        break;
    case MsgIcon::Information:
        icon = QMessageBox::Information;
        break;
    }
    QMessageBox box(icon, m.title, m.text, QMessageBox::Ok, messageOwner());
    box.exec();
}

void dropToolkitMessages(QtMsgType type, const QMessageLogContext&, const QString& msg) {
    if (type == QtFatalMsg) {
        const QByteArray line = msg.toLocal8Bit() + '\n';
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    }
}

// What the window system's start needs to know should it fail.
struct Startup {
    // The line that explains a failure to a person; the toolkit's own reason when empty.
    QByteArray failure;
    // QT_QPA_PLATFORM was set here, for the toolkit only.
    bool choseWindowSystem = false;
};

Startup& startupState() {
    static Startup startup;
    return startup;
}

// The toolkit ends the process when no window system starts; it ends with status 2 and one
// line instead, like every other failure that nobody can be asked about.
void startupMessages(QtMsgType type, const QMessageLogContext&, const QString& msg) {
    if (type != QtFatalMsg)
        return;
    QByteArray line = startupState().failure;
    if (line.isEmpty())
        line = (App::title() + QLatin1String(": ") + msg.simplified()).toLocal8Bit();
    line += '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
    std::_Exit(2);
}

#if defined(Q_OS_LINUX)
// The toolkit's own choice: the session's kind first, X11 as its default.
QByteArray usualWindowSystems() {
    QByteArray systems = qgetenv("XDG_SESSION_TYPE") == "wayland" ? "wayland;xcb" : "xcb";
    if (!systems.contains("wayland") && !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        systems += ";wayland";
    return systems;
}

QByteArray noDisplayLine(const QString& programPath) {
    QStringList displays;
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"})
        if (!qEnvironmentVariableIsEmpty(name))
            displays << QString::fromLatin1(name) + QLatin1Char('=') + qEnvironmentVariable(name);
    const QString which = displays.isEmpty()
                              ? QStringLiteral("neither DISPLAY nor WAYLAND_DISPLAY is set")
                              : displays.join(QLatin1String(", "));
    QString program = QFileInfo(programPath).fileName();
    if (program.isEmpty())
        program = QStringLiteral("vantrell");
    return (App::title() + QLatin1String(": Cannot open a display (") + which +
            QLatin1String("). Vantrell needs one to show its window; to publish the page "
                          "without one, run: ") +
            program + QLatin1String(" /A"))
        .toLocal8Bit();
}
#endif

} // namespace

MessageWatch::MessageWatch() : m_outer(std::exchange(innermostWatch(), this)) {}

MessageWatch::~MessageWatch() {
    innermostWatch() = m_outer;
}

void MsgBox(const QString& text, MsgIcon icon, const QString& title) {
    const Message m{text, icon, title.isEmpty() ? App::title() : title};
    lastMessageSlot() = m;
    for (MessageWatch* watch = innermostWatch(); watch; watch = watch->m_outer)
        watch->m_last = m;
    if (handlerSlot())
        handlerSlot()(m);
    else
        showModal(m);
}

Message LastMessage() {
    return lastMessageSlot();
}

bool MsgBoxYesNo(const QString& text, MsgIcon icon, const QString& title) {
    return MsgBoxChoice(text, QStringLiteral("Yes"), QStringLiteral("No"), true, icon, title);
}

bool MsgBoxChoice(const QString& text, const QString& yes, const QString& no, bool defaultYes,
                  MsgIcon icon, const QString& title) {
    const Message m{text, icon, title.isEmpty() ? App::title() : title, yes, no, defaultYes};
    if (questionSlot())
        return questionSlot()(m);
    if (IsHeadless())
        return true;
    QMessageBox box(icon == MsgIcon::Exclamation ? QMessageBox::Warning : QMessageBox::Question,
                    m.title, m.text, QMessageBox::NoButton, messageOwner());
    // Named buttons of their own when the question names them; Yes and No keep the box's own
    // standard buttons, translated and placed as the platform places them.
    QAbstractButton* yesButton = nullptr;
    QAbstractButton* noButton = nullptr;
    if (yes == QLatin1String("Yes") && no == QLatin1String("No")) {
        yesButton = box.addButton(QMessageBox::Yes);
        noButton = box.addButton(QMessageBox::No);
    } else {
        yesButton = box.addButton(yes, QMessageBox::AcceptRole);
        noButton = box.addButton(no, QMessageBox::RejectRole);
    }
    box.setDefaultButton(qobject_cast<QPushButton*>(defaultYes ? yesButton : noButton));
    box.setEscapeButton(noButton);
    box.exec();
    return box.clickedButton() == yesButton;
}

std::optional<QString> InputSecret(const QString& text, const QString& title) {
    const Message m{text, MsgIcon::Question, title.isEmpty() ? App::title() : title};
    if (secretSlot())
        return secretSlot()(m);
    if (IsHeadless())
        return std::nullopt;
    bool given = false;
    const QString secret = QInputDialog::getText(messageOwner(), m.title, m.text,
                                                 QLineEdit::Password, QString(), &given);
    if (!given)
        return std::nullopt;
    return secret;
}

SecretHandler SetSecretHandler(SecretHandler handler) {
    return std::exchange(secretSlot(), std::move(handler));
}

QuestionHandler SetQuestionHandler(QuestionHandler handler) {
    return std::exchange(questionSlot(), std::move(handler));
}

MessageHandler SetMessageHandler(MessageHandler handler) {
    return std::exchange(handlerSlot(), std::move(handler));
}

bool IsHeadless() {
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        return isHeadlessPlatform(QGuiApplication::platformName());
    return isHeadlessPlatform(
        qEnvironmentVariable("QT_QPA_PLATFORM").section(QLatin1Char(':'), 0, 0));
}

void PrepareWindowSystem(const QStringList& arguments, bool unattended) {
#if defined(Q_OS_LINUX)
    Startup& startup = startupState();
    const bool named = !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") ||
                       arguments.contains(QLatin1String("-platform")) ||
                       arguments.contains(QLatin1String("--platform"));
    if (!named && unattended) {
        const bool anyDisplay = !qEnvironmentVariableIsEmpty("DISPLAY") ||
                                !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
        // Where nobody can see the window, the minimal window system shows it all the same
        // without loading the system's fonts to draw it for nobody.
        qputenv("QT_QPA_PLATFORM", anyDisplay ? usualWindowSystems() + ";minimal" : "minimal");
        startup.choseWindowSystem = true;
    } else if (!named) {
        startup.failure = noDisplayLine(arguments.value(0));
    }
#else
    Q_UNUSED(arguments);
    Q_UNUSED(unattended);
#endif
    qInstallMessageHandler(startupMessages);
}

void WindowSystemStarted() {
    Startup& startup = startupState();
    if (startup.choseWindowSystem) {
        qunsetenv("QT_QPA_PLATFORM");
        // Nothing is ever drawn without a display, so the image and icon plugins that the
        // window's icons would load are never of use; loading them took a tenth of the run.
        if (QGuiApplication::platformName() == QLatin1String("minimal"))
            QCoreApplication::setLibraryPaths({});
    }
    startup = Startup();
    qInstallMessageHandler(IsHeadless() ? dropToolkitMessages : nullptr);
}

} // namespace platform
