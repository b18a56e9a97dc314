#include "SessionBusDaemon.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QStandardPaths>

namespace {

const QString ManagerPath = QStringLiteral("/org/freedesktop/systemd1");
const QString UnitPrefix = QStringLiteral("/org/freedesktop/systemd1/unit/");

QString firstArgument(const QDBusMessage& message) {
    if (message.arguments().isEmpty())
        return {};
    const QVariant first = message.arguments().constFirst();
    if (first.canConvert<QStringList>() && first.typeId() != QMetaType::QString)
        return first.toStringList().join(QLatin1Char(','));
    return first.toString();
}

} // namespace

SessionBusDaemon::~SessionBusDaemon() {
    if (m_daemon.state() != QProcess::NotRunning) {
        m_daemon.kill();
        m_daemon.waitForFinished();
    }
}

bool SessionBusDaemon::start() {
    // Listens in a folder of its own and knows no services to start: what the test serves on
    // it is all there is.
    const QString config = m_dir.filePath(QStringLiteral("session.conf"));
    QFile file(config);
    const QByteArray text =
        "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
        "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n<busconfig>\n"
        "  <type>session</type>\n  <listen>unix:dir=" +
        QFile::encodeName(m_dir.path()) +
        "</listen>\n  <auth>EXTERNAL</auth>\n"
        "  <policy context=\"default\">\n    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
        "    <allow eavesdrop=\"true\"/>\n    <allow own=\"*\"/>\n  </policy>\n</busconfig>\n";
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size()) {
        m_error = file.errorString();
        return false;
    }
    file.close();
    m_daemon.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                    QStringLiteral("--nopidfile"), QStringLiteral("--print-address")});
    while (!m_daemon.canReadLine()) {
        if (!m_daemon.waitForReadyRead(30000)) {
            m_error = QStringLiteral("dbus-daemon did not start: ") + m_daemon.errorString() +
                      QLatin1Char(' ') + QString::fromLocal8Bit(m_daemon.readAllStandardError());
            return false;
        }
    }
    m_address = QString::fromLocal8Bit(m_daemon.readLine()).trimmed();
    return !m_address.isEmpty();
}

QString SecretStore::unavailable() {
    if (QStandardPaths::findExecutable(QStringLiteral("gnome-keyring-daemon")).isEmpty())
        return QStringLiteral("gnome-keyring-daemon is missing (gnome-keyring)");
    if (QStandardPaths::findExecutable(QStringLiteral("secret-tool")).isEmpty())
        return QStringLiteral("secret-tool is missing (libsecret-tools)");
    return {};
}

SecretStore::~SecretStore() {
    stop();
}

QProcessEnvironment SecretStore::environment(const QString& busAddress) const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), busAddress);
    env.insert(QStringLiteral("HOME"), m_dir.path());
    env.insert(QStringLiteral("XDG_DATA_HOME"), m_dir.filePath(QStringLiteral("data")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir.filePath(QStringLiteral("run")));
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    return env;
}

bool SecretStore::start(const QString& busAddress, bool unlocked) {
    stop();
    m_bus = busAddress;
    QDir(m_dir.path()).mkpath(QStringLiteral("run"));
    QFile::setPermissions(m_dir.filePath(QStringLiteral("run")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    m_daemon.setProcessEnvironment(environment(busAddress));
    QStringList args{QStringLiteral("--foreground"), QStringLiteral("--components=secrets")};
    if (unlocked)
        args << QStringLiteral("--unlock");
    m_daemon.start(QStringLiteral("gnome-keyring-daemon"), args);
    if (!m_daemon.waitForStarted(10000)) {
        m_error = QStringLiteral("gnome-keyring-daemon did not start: ") + m_daemon.errorString();
        return false;
    }
    // The login keyring's password, read once from the input.
    if (unlocked) {
        m_daemon.write("keyring-pa55");
        m_daemon.waitForBytesWritten(5000);
    }
    m_daemon.closeWriteChannel();
    const QString name = QStringLiteral("secret-store-%1").arg(quintptr(this));
    bool owned = false;
    {
        QDBusConnection bus = QDBusConnection::connectToBus(busAddress, name);
        const QDeadlineTimer deadline(10000);
        while (!(owned = bus.interface()->isServiceRegistered(
                     QStringLiteral("org.freedesktop.secrets"))) &&
               !deadline.hasExpired() && m_daemon.state() == QProcess::Running)
            QThread::msleep(50);
    }
    QDBusConnection::disconnectFromBus(name);
    if (!owned)
        m_error = QStringLiteral("gnome-keyring-daemon did not take the bus: ") +
                  QString::fromLocal8Bit(m_daemon.readAllStandardError());
    return owned;
}

void SecretStore::stop() {
    if (m_daemon.state() == QProcess::NotRunning)
        return;
    m_daemon.terminate();
    if (!m_daemon.waitForFinished(5000)) {
        m_daemon.kill();
        m_daemon.waitForFinished(5000);
    }
}

QString SecretStore::lookup(const QString& key) {
    QProcess tool;
    tool.setProcessEnvironment(environment(m_bus));
    tool.start(QStringLiteral("secret-tool"),
               {QStringLiteral("lookup"), QStringLiteral("server"), QStringLiteral("Vantrell"),
                QStringLiteral("user"), key});
    tool.closeWriteChannel();
    if (!tool.waitForFinished(10000))
        return {};
    return QString::fromUtf8(tool.readAllStandardOutput());
}

SystemdStandIn::SystemdStandIn(QString unitFolder, QDateTime nextElapse)
    : m_folder(std::move(unitFolder)), m_nextElapse(std::move(nextElapse)) {}

void SystemdStandIn::refuse(const QString& method) {
    QMutexLocker lock(&m_mutex);
    m_refused.insert(method);
}

void SystemdStandIn::ignore(const QString& method) {
    QMutexLocker lock(&m_mutex);
    m_ignored.insert(method);
}

void SystemdStandIn::delay(const QString& method, std::chrono::milliseconds time) {
    QMutexLocker lock(&m_mutex);
    m_delays.insert(method, time);
}

QStringList SystemdStandIn::running() const {
    QMutexLocker lock(&m_mutex);
    QStringList units = (m_active + m_enabled).values();
    units.sort();
    return units;
}

QStringList SystemdStandIn::calls() const {
    QMutexLocker lock(&m_mutex);
    return m_calls;
}

QString SystemdStandIn::introspect(const QString&) const {
    return {};
}

QString SystemdStandIn::unitPath(const QString& name) const {
    QString escaped;
    for (const QChar c : name)
        escaped += c.isLetterOrNumber() && c.unicode() < 128
                       ? QString(c)
                       : QStringLiteral("_%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
    return UnitPrefix + escaped;
}

QString SystemdStandIn::nameOf(const QString& path) const {
    for (auto it = m_loaded.begin(); it != m_loaded.end(); ++it)
        if (unitPath(it.key()) == path)
            return it.key();
    return {};
}

// Like systemd, reads unit files only, never waiting for a pipe.
void SystemdStandIn::load(const QString& name) {
    QFile file(m_folder + QLatin1Char('/') + name);
    m_loaded[name] =
        QFileInfo(file).isFile() && file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool SystemdStandIn::handleMessage(const QDBusMessage& message, const QDBusConnection& connection) {
    QMutexLocker lock(&m_mutex);
    QDBusConnection bus(connection);
    const QString method = message.member();
    const QString name = firstArgument(message);
    if (message.interface() == QLatin1String("org.freedesktop.DBus.Properties")) {
        const QString unit = nameOf(message.path());
        const QByteArray text = m_loaded.value(unit);
        QVariantMap properties;
        if (name == QLatin1String("org.freedesktop.systemd1.Unit")) {
            properties[QStringLiteral("LoadState")] =
                text.isEmpty() ? QStringLiteral("not-found") : QStringLiteral("loaded");
            properties[QStringLiteral("ActiveState")] =
                m_active.contains(unit) ? QStringLiteral("active") : QStringLiteral("inactive");
            properties[QStringLiteral("UnitFileState")] =
                m_enabled.contains(unit) ? QStringLiteral("enabled") : QStringLiteral("disabled");
            static const QRegularExpression description(QStringLiteral("^Description=(.*)$"),
                                                        QRegularExpression::MultilineOption);
            properties[QStringLiteral("Description")] =
                description.match(QString::fromUtf8(text)).captured(1);
        } else if (name == QLatin1String("org.freedesktop.systemd1.Timer")) {
            properties[QStringLiteral("NextElapseUSecRealtime")] = QVariant::fromValue(
                m_active.contains(unit) ? qulonglong(m_nextElapse.toMSecsSinceEpoch()) * 1000
                                        : qulonglong(0));
        }
        bus.send(message.createReply(QVariant::fromValue(properties)));
        return true;
    }
    if (message.path() != ManagerPath)
        return false;
    m_calls << (name.isEmpty() ? method : method + QLatin1Char(' ') + name);
    if (m_refused.contains(method)) {
        bus.send(message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"),
                                          QStringLiteral("Access denied")));
        return true;
    }
    if (m_delays.contains(method))
        QThread::msleep(static_cast<unsigned long>(m_delays.value(method).count()));
    if (m_ignored.contains(method) || m_ignored.contains(method + QLatin1Char(' ') + name)) {
        bus.send(message.createReply());
        return true;
    }
    const bool onDisk = QFile::exists(m_folder + QLatin1Char('/') + name);
    const QString noUnit = QStringLiteral("org.freedesktop.systemd1.NoSuchUnit");
    if (method == QLatin1String("Reload")) {
        for (const QString& unit : m_loaded.keys())
            load(unit);
        bus.send(message.createReply());
    } else if (method == QLatin1String("LoadUnit")) {
        if (!m_loaded.contains(name))
            load(name);
        bus.send(message.createReply(QVariant::fromValue(QDBusObjectPath(unitPath(name)))));
    } else if (method == QLatin1String("EnableUnitFiles")) {
        if (!onDisk) {
            bus.send(message.createErrorReply(
                noUnit, QStringLiteral("Unit file %1 does not exist.").arg(name)));
            return true;
        }
        m_enabled.insert(name);
        bus.send(message.createReply(QVariant(true)));
    } else if (method == QLatin1String("DisableUnitFiles")) {
        m_enabled.remove(name);
        bus.send(message.createReply());
    } else if (method == QLatin1String("StartUnit") || method == QLatin1String("RestartUnit")) {
        if (!m_loaded.contains(name))
            load(name);
        if (m_loaded.value(name).isEmpty()) {
            bus.send(
                message.createErrorReply(noUnit, QStringLiteral("Unit %1 not found.").arg(name)));
            return true;
        }
        m_active.insert(name);
        bus.send(message.createReply(QVariant::fromValue(
            QDBusObjectPath(QStringLiteral("/org/freedesktop/systemd1/job/1")))));
    } else if (method == QLatin1String("StopUnit")) {
        if (!m_loaded.contains(name)) {
            bus.send(
                message.createErrorReply(noUnit, QStringLiteral("Unit %1 not loaded.").arg(name)));
            return true;
        }
        m_active.remove(name);
        bus.send(message.createReply(QVariant::fromValue(
            QDBusObjectPath(QStringLiteral("/org/freedesktop/systemd1/job/2")))));
    } else {
        return false;
    }
    return true;
}

QList<NotificationStandIn::Notice> NotificationStandIn::notices() const {
    QMutexLocker lock(&m_mutex);
    return m_notices;
}

QString NotificationStandIn::introspect(const QString&) const {
    return {};
}

bool NotificationStandIn::handleMessage(const QDBusMessage& message,
                                        const QDBusConnection& connection) {
    if (message.member() != QLatin1String("Notify") || message.arguments().size() != 8)
        return false;
    const QList<QVariant> args = message.arguments();
    QVariantMap hints;
    args.at(6).value<QDBusArgument>() >> hints;
    QMutexLocker lock(&m_mutex);
    m_notices.append({args.at(3).toString(), args.at(4).toString(),
                      hints.contains(QStringLiteral("urgency"))
                          ? hints.value(QStringLiteral("urgency")).toInt()
                          : -1});
    QDBusConnection(connection)
        .send(message.createReply(QVariant::fromValue(uint(m_notices.size()))));
    return true;
}

BusStandIns::BusStandIns(const QString& address)
    : m_name(QStringLiteral("stand-ins-%1").arg(quintptr(this))) {
    QDBusConnection::connectToBus(address, m_name);
    m_thread.start();
}

BusStandIns::~BusStandIns() {
    QDBusConnection::disconnectFromBus(m_name);
    m_thread.quit();
    m_thread.wait();
    qDeleteAll(m_objects);
}

bool BusStandIns::serve(const QString& service, const QString& path, QDBusVirtualObject* object) {
    m_objects.append(object);
    QDBusConnection bus(m_name);
    // Registered first: the bus gives the object a helper of its own, which has to live in the
    // object's thread and moves with it.
    const bool served = bus.isConnected() && bus.registerService(service) &&
                        bus.registerVirtualObject(path, object, QDBusConnection::SubPath);
    object->moveToThread(&m_thread);
    return served;
}
