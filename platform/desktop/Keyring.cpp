#include "Keyring.h"

#if VANTRELL_HAVE_QTKEYCHAIN
#include <qt6keychain/keychain.h>
#endif
#if !defined(Q_OS_WIN)
#include "SessionBus.h"

#include <QDBusVariant>
#endif

#include <QEventLoop>
#include <QTimer>

#include <functional>

namespace platform::keyring {

namespace {

#if VANTRELL_HAVE_QTKEYCHAIN
// The name the program's secrets go under in the keyring.
const QString Service = QStringLiteral("Vantrell");

// Starts the job and waits for its end, at most `wait`. The job deletes itself once done, even
// after the wait has given up on it; `done` runs only within the wait.
bool runJob(QKeychain::Job* job, std::chrono::milliseconds wait,
            const std::function<void(QKeychain::Job&)>& done) {
    QEventLoop loop;
    bool finished = false;
    job->setAutoDelete(true);
    QObject::connect(job, &QKeychain::Job::finished, &loop, [&](QKeychain::Job* ended) {
        finished = true;
        done(*ended);
        loop.quit();
    });
    QTimer::singleShot(wait, &loop, &QEventLoop::quit);
    job->start();
    if (!finished)
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    return finished;
}

QString seconds(std::chrono::milliseconds wait) {
    return QStringLiteral("it did not answer within %1 s").arg(double(wait.count()) / 1000.0);
}
#endif

} // namespace

Status Probe([[maybe_unused]] std::chrono::milliseconds wait) {
#if !VANTRELL_HAVE_QTKEYCHAIN
    return {State::Absent, QStringLiteral("this build of Vantrell cannot use one")};
#elif defined(Q_OS_WIN)
    return {State::Open, QStringLiteral("the Credential Manager")};
#else
    const SessionBus bus;
    if (!bus.IsConnected())
        return {State::Absent, bus.Problem()};
    // The default collection is the one QtKeychain keeps secrets in.
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.secrets"),
        QStringLiteral("/org/freedesktop/secrets/aliases/default"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    call << QStringLiteral("org.freedesktop.Secret.Collection") << QStringLiteral("Locked");
    const QDBusMessage reply = bus.Call(call, wait);
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
        return reply.arguments().constFirst().value<QDBusVariant>().variant().toBool()
                   ? Status{State::Locked, QStringLiteral("it is locked")}
                   : Status{State::Open, QStringLiteral("the Secret Service")};
    const QString error = reply.errorName();
    if (error == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
        error == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner"))
        return {State::Absent, QStringLiteral("no keyring answers on the session bus")};
    if (error == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
        error == QLatin1String("org.freedesktop.DBus.Error.Timeout"))
        return {State::Absent, seconds(wait)};
    // A keyring without a default collection yet makes one when the first secret comes.
    if (error == QLatin1String("org.freedesktop.DBus.Error.UnknownObject") ||
        error == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod"))
        return {State::Open, QStringLiteral("the Secret Service")};
    return {State::Absent, reply.errorMessage()};
#endif
}

Reading Read([[maybe_unused]] const QString& key, [[maybe_unused]] std::chrono::milliseconds wait) {
    Reading reading;
#if VANTRELL_HAVE_QTKEYCHAIN
    auto* job = new QKeychain::ReadPasswordJob(Service);
    job->setKey(key);
    const bool answered = runJob(job, wait, [&reading](QKeychain::Job& ended) {
        if (ended.error() == QKeychain::NoError) {
            reading.ok = true;
            reading.secret = static_cast<QKeychain::ReadPasswordJob&>(ended).textData();
        } else if (ended.error() == QKeychain::EntryNotFound) {
            reading.ok = true;
        } else {
            reading.reason = ended.errorString();
        }
    });
    if (!answered)
        reading.reason = seconds(wait);
#else
    reading.reason = QStringLiteral("this build of Vantrell cannot use one");
#endif
    return reading;
}

bool Write([[maybe_unused]] const QString& key, [[maybe_unused]] const QString& secret,
           [[maybe_unused]] std::chrono::milliseconds wait, QString* reason) {
#if VANTRELL_HAVE_QTKEYCHAIN
    auto* job = new QKeychain::WritePasswordJob(Service);
    job->setKey(key);
    job->setTextData(secret);
    bool kept = false;
    const bool answered = runJob(job, wait, [&](QKeychain::Job& ended) {
        kept = ended.error() == QKeychain::NoError;
        *reason = ended.errorString();
    });
    if (!answered)
        *reason = seconds(wait);
    return kept;
#else
    *reason = QStringLiteral("this build of Vantrell cannot use one");
    return false;
#endif
}

bool Remove([[maybe_unused]] const QString& key, [[maybe_unused]] std::chrono::milliseconds wait,
            QString* reason) {
#if VANTRELL_HAVE_QTKEYCHAIN
    auto* job = new QKeychain::DeletePasswordJob(Service);
    job->setKey(key);
    bool removed = false;
    const bool answered = runJob(job, wait, [&](QKeychain::Job& ended) {
        removed = ended.error() == QKeychain::NoError || ended.error() == QKeychain::EntryNotFound;
        *reason = ended.errorString();
    });
    if (!answered)
        *reason = seconds(wait);
    return removed;
#else
    *reason = QStringLiteral("this build of Vantrell cannot use one");
    return false;
#endif
}

} // namespace platform::keyring
