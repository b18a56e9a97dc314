#pragma once

#include <QDBusVirtualObject>
#include <QDateTime>
#include <QList>
#include <QMutex>
#include <QProcess>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <chrono>
#include <memory>

// A session bus of the test's own: a dbus-daemon that lives as long as this object, with no
// service of the system's that it could start.
class SessionBusDaemon {
public:
    SessionBusDaemon() = default;
    ~SessionBusDaemon();
    SessionBusDaemon(const SessionBusDaemon&) = delete;
    SessionBusDaemon& operator=(const SessionBusDaemon&) = delete;

    bool start();
    QString address() const { return m_address; }
    QString errorString() const { return m_error; }

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QString m_address;
    QString m_error;
};

// GNOME Keyring's secret store (gnome-keyring-daemon, its secrets alone) on a bus of the
// test's own, keeping its keyrings in a folder of the test's own. Started unlocked, with the
// login keyring made and opened by the password given on its input, or locked: started again
// over the keyrings it made, nobody gives the password. Stopped when the object goes.
class SecretStore {
public:
    SecretStore() = default;
    ~SecretStore();
    SecretStore(const SecretStore&) = delete;
    SecretStore& operator=(const SecretStore&) = delete;

    // Empty when this machine can run it, else why not.
    static QString unavailable();
    bool start(const QString& busAddress, bool unlocked);
    void stop();
    QString errorString() const { return m_error; }
    // What the store holds for the program under the key, as secret-tool finds it; empty when
    // nothing.
    QString lookup(const QString& key);

private:
    QProcessEnvironment environment(const QString& busAddress) const;

    QTemporaryDir m_dir;
    QProcess m_daemon;
    QString m_bus;
    QString m_error;
};

// systemd's user manager, as far as the program asks it: units are read from the unit folder
// when loaded or reloaded (like systemd, a file written later counts only after Reload),
// started, stopped, enabled and disabled.
class SystemdStandIn : public QDBusVirtualObject {
    Q_OBJECT
public:
    explicit SystemdStandIn(QString unitFolder, QDateTime nextElapse);

    // Answers the method with an error from now on.
    void refuse(const QString& method);
    // Answers the method ("RestartUnit", or for one unit "RestartUnit vantrell-watch.service")
    // as done from now on, and does nothing.
    void ignore(const QString& method);
    // Answers the method only after this long from now on, as a busy manager does.
    void delay(const QString& method, std::chrono::milliseconds time);
    // The units it has enabled or started, and not disabled or stopped since.
    QStringList running() const;
    // Every method called, with its first argument ("EnableUnitFiles vantrell-schedule.timer").
    QStringList calls() const;

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

private:
    QString unitPath(const QString& name) const;
    QString nameOf(const QString& path) const;
    void load(const QString& name);

    mutable QMutex m_mutex;
    const QString m_folder;
    const QDateTime m_nextElapse;
    QSet<QString> m_refused;
    QSet<QString> m_ignored;
    QMap<QString, std::chrono::milliseconds> m_delays;
    QStringList m_calls;
    QMap<QString, QByteArray> m_loaded; // the unit file as last loaded
    QSet<QString> m_active;
    QSet<QString> m_enabled;
};

// A notification server that keeps every notice it gets.
class NotificationStandIn : public QDBusVirtualObject {
    Q_OBJECT
public:
    struct Notice {
        QString summary;
        QString body;
        int urgency = -1;
    };
    QList<Notice> notices() const;

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

private:
    mutable QMutex m_mutex;
    QList<Notice> m_notices;
};

// Serves stand-ins on a bus from a thread of their own, so that a test can wait on them from
// its main thread: the window, and the program in a process the test waits for.
class BusStandIns {
public:
    explicit BusStandIns(const QString& address);
    ~BusStandIns();
    BusStandIns(const BusStandIns&) = delete;
    BusStandIns& operator=(const BusStandIns&) = delete;

    // Owns the service name and serves object at path and below; takes the object.
    bool serve(const QString& service, const QString& path, QDBusVirtualObject* object);

private:
    QString m_name;
    QThread m_thread;
    QList<QDBusVirtualObject*> m_objects;
};
