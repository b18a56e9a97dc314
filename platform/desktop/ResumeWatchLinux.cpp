#include "ResumeWatch.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QFileInfo>

#include <atomic>
#include <mutex>
#include <thread>

namespace platform {

namespace {

QString systemBusAddress() {
    const QString named = qEnvironmentVariable("DBUS_SYSTEM_BUS_ADDRESS");
    if (!named.isEmpty())
        return named;
    const QString socket = QStringLiteral("/run/dbus/system_bus_socket");
    return QFileInfo::exists(socket) ? QStringLiteral("unix:path=") + socket : QString();
}

QString nextName() {
    static std::atomic<int> counter{0};
    return QStringLiteral("vantrell-system-%1").arg(counter++);
}

} // namespace

// What the thread that reaches the bus shares with the watch: the watch may be gone before
// the bus has answered, and then the connection is closed by whoever comes last.
struct ResumeWatchShared {
    std::mutex mutex;
    ResumeWatch* receiver = nullptr; // cleared, under the mutex, once the watch goes
    bool answered = false;           // the bus answered, or it is clear that it will not
};

struct ResumeWatch::Native {
    QString name = nextName();
    std::shared_ptr<ResumeWatchShared> shared = std::make_shared<ResumeWatchShared>();
    bool connected = false;
    bool finished = false;
    QString problem;
};

ResumeWatch::ResumeWatch(QObject* parent) : QObject(parent), m_native(new Native) {
    const QString address = systemBusAddress();
    if (address.isEmpty()) {
        m_native->finished = true;
        m_native->problem = QStringLiteral("there is no system bus to hear of sleep from");
        QMetaObject::invokeMethod(
            this, [this] { emit ready(false); }, Qt::QueuedConnection);
        return;
    }
    m_native->shared->receiver = this;
    // Reaching a bus waits for its answer, for up to half a minute when it is stuck.
    std::thread([shared = m_native->shared, address, name = m_native->name] {
        const QDBusConnection connection = QDBusConnection::connectToBus(address, name);
        const bool up = connection.isConnected();
        const QString why = up ? QString() : connection.lastError().message();
        std::lock_guard lock(shared->mutex);
        shared->answered = true;
        ResumeWatch* receiver = shared->receiver;
        if (!receiver) {
            QDBusConnection::disconnectFromBus(name);
            return;
        }
        QMetaObject::invokeMethod(
            receiver,
            [receiver, up, why] {
                Native& n = *receiver->m_native;
                n.finished = true;
                // Anyone on the bus may send the signal; a forged one costs one cheap check.
                n.connected = up && QDBusConnection(n.name).connect(
                                        QString(), QStringLiteral("/org/freedesktop/login1"),
                                        QStringLiteral("org.freedesktop.login1.Manager"),
                                        QStringLiteral("PrepareForSleep"), receiver,
                                        SLOT(onPrepareForSleep(bool)));
                if (!n.connected)
                    n.problem =
                        QStringLiteral("the system bus does not answer (%1)")
                            .arg(why.isEmpty() ? QStringLiteral("no match for logind") : why);
                emit receiver->ready(n.connected);
            },
            Qt::QueuedConnection);
    }).detach();
}

ResumeWatch::~ResumeWatch() {
    std::lock_guard lock(m_native->shared->mutex);
    m_native->shared->receiver = nullptr;
    // A bus still being reached is closed by its thread once it answers.
    if (m_native->shared->answered)
        QDBusConnection::disconnectFromBus(m_native->name);
}

bool ResumeWatch::IsListening() const {
    return m_native->connected || !m_native->finished;
}

QString ResumeWatch::Problem() const {
    return m_native->problem;
}

void ResumeWatch::onPrepareForSleep(bool starting) {
    if (!starting)
        emit resumed();
}

} // namespace platform
