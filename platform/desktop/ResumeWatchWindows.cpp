#include "ResumeWatch.h"

#include <windows.h>

namespace platform {

namespace {

const wchar_t ClassName[] = L"VantrellResumeWatch";

// Runs on the thread that made the window, the event loop's, as the loop dispatches the
// broadcast.
LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_POWERBROADCAST) {
        // Sent on every wake, whether or not someone is at the machine.
        if (wParam == PBT_APMRESUMEAUTOMATIC) {
            if (auto* watch =
                    reinterpret_cast<ResumeWatch*>(GetWindowLongPtrW(window, GWLP_USERDATA)))
                QMetaObject::invokeMethod(watch, "onPrepareForSleep", Qt::QueuedConnection,
                                          Q_ARG(bool, false));
        }
        return TRUE;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace

struct ResumeWatch::Native {
    HWND window = nullptr;
    QString problem;
};

ResumeWatch::ResumeWatch(QObject* parent) : QObject(parent), m_native(new Native) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = ClassName;
    // A second watch finds the class registered already.
    RegisterClassW(&windowClass);
    // A top-level window that is never shown: a message-only window hears no broadcast.
    m_native->window = CreateWindowExW(0, ClassName, L"Vantrell", WS_OVERLAPPED, 0, 0, 0, 0,
                                       nullptr, nullptr, instance, nullptr);
    if (m_native->window)
        SetWindowLongPtrW(m_native->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    else
        m_native->problem =
            QStringLiteral("no window to hear of sleep with (error %1)").arg(GetLastError());
    QMetaObject::invokeMethod(
        this, [this] { emit ready(m_native->window != nullptr); }, Qt::QueuedConnection);
}

ResumeWatch::~ResumeWatch() {
    if (m_native->window)
        DestroyWindow(m_native->window);
}

bool ResumeWatch::IsListening() const {
    return m_native->window != nullptr;
}

QString ResumeWatch::Problem() const {
    return m_native->problem;
}

void ResumeWatch::onPrepareForSleep(bool starting) {
    if (!starting)
        emit resumed();
}

} // namespace platform
