#pragma once

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QObject>

#include <functional>

namespace platform {

// Ends the process at once with the given status: no further events are delivered and no
// window gets a chance to run code. Callers save what they need before.
void EndProcess(int status);

// Whether the process with that number runs. Where the system tells (Linux), it must also have
// been started with the argument among its arguments (alone, or with "=VALUE" after it), so
// that a number which another program has taken since does not count.
bool ProcessRunning(qint64 pid, const QByteArray& argument = {});

// Tests replace the ending with a recorder; an empty handler restores the default.
using EndProcessHandler = std::function<void(int status)>;
EndProcessHandler SetEndProcessHandler(EndProcessHandler handler);

// Processes window events, sleeping while there are none, until finished() answers true. Each
// signal from sender ends the sleep at once: Qt's own event dispatcher on Unix delivers the
// event that finishes the wait and then sleeps on until another one comes (half a second
// later, or never).
template <typename Sender, typename Signal, typename Finished>
void ProcessEventsUntil(const Sender* sender, Signal signal, Finished finished) {
    const QMetaObject::Connection wake = QObject::connect(sender, signal, [] {
        if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance())
            dispatcher->interrupt();
    });
    while (!finished())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QObject::disconnect(wake);
}

} // namespace platform
