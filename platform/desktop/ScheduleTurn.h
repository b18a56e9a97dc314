#pragma once

#include <QString>

#include <memory>

namespace platform {

class FileTurn;

// Changes of the schedule asked for at the same time (several "vantrell --schedule" started
// together) take turns, and the one asked for last is the one that stays: a change that finds
// that one asked for after it has been made meanwhile gives way instead of undoing it.
class ScheduleTurn {
public:
    // Notes the moment the change is asked for: now.
    ScheduleTurn();
    ~ScheduleTurn();
    ScheduleTurn(const ScheduleTurn&) = delete;
    ScheduleTurn& operator=(const ScheduleTurn&) = delete;

    // Waits for the turn, a minute at most, and holds it for as long as the object lives.
    // False, with Problem(), when a change asked for later has been made meanwhile.
    bool Take();
    // Why the change is not to be made, as one sentence without a full stop.
    QString Problem() const { return m_problem; }

private:
    qint64 m_asked;
    std::unique_ptr<FileTurn> m_turn;
    QString m_problem;
};

} // namespace platform
