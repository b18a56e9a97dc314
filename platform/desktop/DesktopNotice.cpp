#include "DesktopNotice.h"

#if defined(Q_OS_WIN)
#include <QDeadlineTimer>

#include <windows.h>

#include <shellapi.h>
#else
#include "SessionBus.h"

#include <QDBusMessage>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QStringList>
#include <QVariantMap>

#include <chrono>
#endif

namespace platform {

#if defined(Q_OS_WIN)

namespace {

constexpr UINT IconMessage = WM_APP + 1;
constexpr wchar_t WindowClass[] = L"VantrellNotice";

// The balloon's end: shown for its time, closed, or clicked.
LRESULT CALLBACK noticeWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == IconMessage) {
        switch (LOWORD(lParam)) {
        case NIN_BALLOONTIMEOUT:
        case NIN_BALLOONHIDE:
        case NIN_BALLOONUSERCLICK:
            SetWindowLongPtrW(window, GWLP_USERDATA, 1);
            return 0;
        default:
            break;
        }
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// Copies text into one of the shell's fixed fields, cut short where it does not fit.
template <size_t N> void copyField(wchar_t (&field)[N], const QString& text) {
    const QString cut = text.size() < int(N) ? text : text.left(int(N) - 2) + QChar(0x2026);
    const int length = int(cut.toWCharArray(field));
    field[length] = L'\0';
}

class NoticeWindow {
public:
    NoticeWindow() {
        WNDCLASSW wc{};
        wc.lpfnWndProc = noticeWindowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = WindowClass;
        RegisterClassW(&wc); // a second notice finds the class there already
        m_window = CreateWindowExW(0, WindowClass, L"Vantrell", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                   nullptr, wc.hInstance, nullptr);
    }
    ~NoticeWindow() {
        if (m_window)
            DestroyWindow(m_window);
    }
    NoticeWindow(const NoticeWindow&) = delete;
    NoticeWindow& operator=(const NoticeWindow&) = delete;

    HWND handle() const { return m_window; }
    bool balloonGone() const { return GetWindowLongPtrW(m_window, GWLP_USERDATA) != 0; }

private:
    HWND m_window = nullptr;
};

} // namespace

// A balloon from an icon in the notification area. Windows 10 and later show it as a
// notification under the program's name, which needs none of the registration (a Start menu
// shortcut with an application id) that a notification of the program's own would. The
// balloon lasts only as long as its icon, so the run waits until Windows reports it shown,
// closed or clicked, for 15 s at most, before the icon goes.
bool ShowDesktopNotice(const QString& summary, const QString& body, NoticeUrgency urgency) {
    const NoticeWindow window;
    if (!window.handle())
        return false;
    NOTIFYICONDATAW icon{};
    icon.cbSize = sizeof icon;
    icon.hWnd = window.handle();
    icon.uID = 1;
    icon.uFlags = NIF_ICON | NIF_TIP | NIF_MESSAGE | NIF_SHOWTIP;
    icon.uCallbackMessage = IconMessage;
    icon.hIcon = LoadIconW(GetModuleHandleW(nullptr), L"IDI_VANTRELL");
    if (!icon.hIcon)
        icon.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    copyField(icon.szTip, QStringLiteral("Vantrell"));
    // No notification area (no Explorer running): nobody can be told.
    if (!Shell_NotifyIconW(NIM_ADD, &icon))
        return false;
    icon.uVersion = NOTIFYICON_VERSION_4;
    Shell_NotifyIconW(NIM_SETVERSION, &icon);

    icon.uFlags = NIF_INFO;
    copyField(icon.szInfoTitle, summary);
    copyField(icon.szInfo, body);
    icon.dwInfoFlags = urgency == NoticeUrgency::Critical ? NIIF_ERROR
                       : urgency == NoticeUrgency::Low    ? NIIF_INFO | NIIF_NOSOUND
                                                          : NIIF_INFO;
    const bool shown = Shell_NotifyIconW(NIM_MODIFY, &icon);
    if (shown) {
        // Only this window's messages: the application's own wait for its event loop.
        const QDeadlineTimer deadline(15000);
        while (!window.balloonGone() && !deadline.hasExpired()) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, DWORD(deadline.remainingTime()),
                                      QS_ALLINPUT);
            MSG message;
            while (PeekMessageW(&message, window.handle(), 0, 0, PM_REMOVE))
                DispatchMessageW(&message);
        }
    }
    Shell_NotifyIconW(NIM_DELETE, &icon);
    return shown;
}

#else

bool ShowDesktopNotice(const QString& summary, const QString& body, NoticeUrgency urgency) {
    using namespace std::chrono_literals;
    const SessionBus bus;
    if (!bus.IsConnected())
        return false;
    const QString service = QStringLiteral("org.freedesktop.Notifications");
    const QString path = QStringLiteral("/org/freedesktop/Notifications");
    // A server that reads markup in the body would drop what looks like a tag: the reason is
    // plain text.
    QString plainBody = body;
    const QDBusMessage capabilities = bus.Call(
        QDBusMessage::createMethodCall(service, path, service, QStringLiteral("GetCapabilities")),
        5s);
    if (capabilities.type() == QDBusMessage::ReplyMessage &&
        capabilities.arguments().value(0).toStringList().contains(QLatin1String("body-markup")))
        plainBody = plainBody.toHtmlEscaped();
    QDBusMessage notify =
        QDBusMessage::createMethodCall(service, path, service, QStringLiteral("Notify"));
    QVariantMap hints;
    hints[QStringLiteral("urgency")] = QVariant::fromValue(uchar(urgency));
    // Lets the desktop name the notice after the program and group it with the program's own.
    const QString desktopEntry = QGuiApplication::desktopFileName();
    if (!desktopEntry.isEmpty())
        hints[QStringLiteral("desktop-entry")] = desktopEntry;
    notify.setArguments({QStringLiteral("Vantrell"), uint(0), desktopEntry, summary, plainBody,
                         QStringList(), hints,
                         // A failure stays until someone has seen it; the server decides the rest.
                         urgency == NoticeUrgency::Critical ? 0 : -1});
    return bus.Call(notify, 5s).type() == QDBusMessage::ReplyMessage;
}

#endif

} // namespace platform
