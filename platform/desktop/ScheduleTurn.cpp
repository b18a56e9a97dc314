#include "ScheduleTurn.h"

#include "StateFolder.h"
#include "UserFile.h"

#include <chrono>

namespace platform {

namespace {

qint64 nowInNanoseconds() {
    return qint64(std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count());
}

} // namespace

ScheduleTurn::ScheduleTurn() : m_asked(nowInNanoseconds()) {}

ScheduleTurn::~ScheduleTurn() = default;

bool ScheduleTurn::Take() {
    // Without a folder to keep the turn in, the change goes ahead on its own.
    if (!MakeStateFolder())
        return true;
    const QString folder = StateFolder();
    m_turn = std::make_unique<FileTurn>(folder + QStringLiteral("/schedule.lock"),
                                        std::chrono::minutes(1));
    const QString askedFile = folder + QStringLiteral("/schedule.asked");
    const qint64 latest = ReadOrdinaryFile(askedFile, 64, Links::Refuse)
                              .value_or(QByteArray())
                              .trimmed()
                              .toLongLong();
    // A moment still to come was noted before the clock was turned back: it counts for nothing.
    if (latest > m_asked && latest <= nowInNanoseconds()) {
        m_problem = QStringLiteral("a change of the schedule asked for after this one has been "
                                   "made");
        return false;
    }
    WriteFileWhole(askedFile, QByteArray::number(m_asked) + '\n');
    return true;
}

} // namespace platform
