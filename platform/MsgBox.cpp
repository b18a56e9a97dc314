#include "MsgBox.h"

#include "AppInfo.h"

#include <QApplication>
#include <QMainWindow>
#include <QMessageBox>
#include <QtGlobal>

#include <cstdio>

namespace platform {

namespace {

MessageHandler& handlerSlot() {
    static MessageHandler handler;
    return handler;
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
        const QByteArray line = (m.title + QLatin1String(": ") + m.text).toLocal8Bit() + '\n';
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
        std::fflush(stderr);
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

} // namespace

void MsgBox(const QString& text, MsgIcon icon, const QString& title) {
    const Message m{text, icon, title.isEmpty() ? App::title() : title};
    if (handlerSlot())
        handlerSlot()(m);
    else
        showModal(m);
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

void PrepareWindowSystem() {
#if defined(Q_OS_LINUX)
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
    if (IsHeadless())
        qInstallMessageHandler(dropToolkitMessages);
}

} // namespace platform
