#include "AddressLookup.h"
#include "Process.h"

#include <mutex>
#include <thread>

namespace platform {

namespace {

using namespace std::chrono_literals;

AddressAnswer failure(const QString& error) {
    return {QString(), error};
}

QString seconds(std::chrono::milliseconds timeout) {
    return QString::number((timeout.count() + 999) / 1000);
}

} // namespace

struct AddressLookup::Shared {
    std::mutex mutex;
    // Cleared, under the mutex, once the lookup no longer listens.
    AddressLookup* receiver = nullptr;
};

AddressLookup::AddressLookup(const AddressQuery& query, QObject* parent)
    : QObject(parent), m_shared(std::make_shared<Shared>()) {
    m_shared->receiver = this;
    // The router's library keeps time-outs of its own; whatever it does, the wait ends here.
    m_deadline.setSingleShot(true);
    const QString asked = query.source == AddressSource::Router ? QStringLiteral("the router")
                          : query.source == AddressSource::Web  ? QStringLiteral("the web service")
                                                                : QStringLiteral("this machine");
    connect(&m_deadline, &QTimer::timeout, this, [this, asked, timeout = query.timeout] {
        finish(failure(
            QStringLiteral("%1 gave no answer within %2 seconds").arg(asked, seconds(timeout))));
    });
    m_deadline.start(query.timeout + 1s);

    std::thread([shared = m_shared, query] {
        const AddressAnswer answer = AskAddressSource(query);
        std::lock_guard lock(shared->mutex);
        if (AddressLookup* receiver = shared->receiver)
            QMetaObject::invokeMethod(
                receiver, [receiver, answer] { receiver->finish(answer); }, Qt::QueuedConnection);
    }).detach();
}

AddressLookup::~AddressLookup() {
    std::lock_guard lock(m_shared->mutex);
    m_shared->receiver = nullptr;
}

void AddressLookup::finish(const AddressAnswer& answer) {
    if (m_finished)
        return;
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->receiver = nullptr;
    }
    m_deadline.stop();
    m_finished = true;
    m_answer = answer;
    emit answered();
}

AddressAnswer FindAddress(const AddressQuery& query, const std::function<bool()>& givenUp) {
    AddressLookup lookup(query);
    ProcessEventsUntil(&lookup, &AddressLookup::answered,
                       [&] { return lookup.IsFinished() || (givenUp && givenUp()); });
    return lookup.IsFinished() ? lookup.Answer() : AddressAnswer{};
}

} // namespace platform
