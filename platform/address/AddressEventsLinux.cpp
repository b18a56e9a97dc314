#include "AddressEvents.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr unsigned Groups =
    RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;

// Whether the messages in a datagram from the kernel include a change of an address or a
// route.
bool holdsChange(const char* data, size_t size) {
    for (auto* header = reinterpret_cast<const nlmsghdr*>(data); NLMSG_OK(header, size);
         header = NLMSG_NEXT(header, size)) {
        switch (header->nlmsg_type) {
        case RTM_NEWADDR:
        case RTM_DELADDR:
        case RTM_NEWROUTE:
        case RTM_DELROUTE:
            return true;
        default:
            break;
        }
    }
    return false;
}

} // namespace

struct AddressEvents::Native {
    int fd = -1;
    QString problem;
    std::unique_ptr<QSocketNotifier> notifier;

    ~Native() {
        notifier.reset();
        if (fd >= 0)
            ::close(fd);
    }
};

AddressEvents::AddressEvents(QObject* parent) : QObject(parent), m_native(new Native) {
    Native& n = *m_native;
    n.fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = Groups;
    if (n.fd < 0 || ::bind(n.fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        n.problem = QStringLiteral("the kernel's address news cannot be heard (%1)")
                        .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    n.notifier = std::make_unique<QSocketNotifier>(n.fd, QSocketNotifier::Read);
    connect(n.notifier.get(), &QSocketNotifier::activated, this, [this] {
        // Read to the end, so that a burst makes one signal: the news is that something
        // changed, and what is left unread would wake the loop again.
        alignas(nlmsghdr) char buffer[16 * 1024];
        bool change = false;
        for (;;) {
            const ssize_t got = ::recv(m_native->fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got > 0) {
                change = change || holdsChange(buffer, size_t(got));
                continue;
            }
            // The kernel dropped news it could not hold: whatever it was, it was a change.
            if (got < 0 && errno == ENOBUFS) {
                change = true;
                continue;
            }
            if (got < 0 && errno == EINTR)
                continue;
            break;
        }
        if (change)
            emit changed();
    });
}

AddressEvents::~AddressEvents() = default;

bool AddressEvents::IsListening() const {
    return m_native->notifier != nullptr;
}

QString AddressEvents::Problem() const {
    return m_native->problem;
}

} // namespace platform
