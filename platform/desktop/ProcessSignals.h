#pragma once

#include <QObject>

#include <memory>

namespace platform {

// What a long-running process is told from outside, as signals of the event loop: SIGTERM and
// SIGINT ask it to stop, SIGHUP to read its settings again, SIGUSR1 to publish now. A signal
// only writes a byte to a pipe that the event loop reads, so whatever the process was doing
// when it came is finished first. Nothing on Windows, whose Task Scheduler ends a task
// outright.
//
// One at a time: a signal's handler belongs to the whole process. The handlers it replaced
// come back when it goes.
class ProcessSignals : public QObject {
    Q_OBJECT
public:
    explicit ProcessSignals(QObject* parent = nullptr);
    ~ProcessSignals() override;

    // False, with Problem(), when the signals could not be taken.
    bool IsListening() const;
    QString Problem() const;

signals:
    void stopRequested();
    void reloadRequested();
    void publishRequested();

private:
    struct Native;
    std::unique_ptr<Native> m_native;
};

} // namespace platform
