#pragma once

#include "AddressSource.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>

namespace platform {

// One lookup on a thread of its own, started when the object is made. answered() arrives on
// the object's thread once, with the source's answer or, shortly after the time-out, with
// none; a source still busy then finishes on its own and its answer is dropped.
class AddressLookup : public QObject {
    Q_OBJECT
public:
    explicit AddressLookup(const AddressQuery& query, QObject* parent = nullptr);
    ~AddressLookup() override;

    bool IsFinished() const { return m_finished; }
    AddressAnswer Answer() const { return m_answer; }

signals:
    void answered();

private:
    void finish(const AddressAnswer& answer);

    struct Shared;
    std::shared_ptr<Shared> m_shared;
    QTimer m_deadline;
    bool m_finished = false;
    AddressAnswer m_answer;
};

// Looks the address up off the calling thread and waits for the answer while window events
// are processed. The wait ends early, with no address and no reason, once givenUp answers
// true (checked after every event).
AddressAnswer FindAddress(const AddressQuery& query, const std::function<bool()>& givenUp = {});

} // namespace platform
