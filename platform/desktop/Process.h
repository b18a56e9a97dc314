#pragma once

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QObject>
#include <QString>
#include <QStringList>

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

// Whether the process with this id is a watcher of ours ("vantrell --watch") that runs now. An
// id that the system has given to another program since is not. On Windows, whether a process
// with this id runs.
bool WatcherRuns(qint64 pid);
// Tells the watcher with this id to publish now instead of waiting for the next change (Linux:
// SIGUSR1). False when no watcher of ours has that id, or it cannot be told (Windows).
bool AskWatcherToPublish(qint64 pid);

// Starts the program with these arguments on its own, without waiting for it or keeping it:
// it goes on when this one ends. False when it could not be started.
bool StartProgram(const QString& program, const QStringList& arguments);

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
