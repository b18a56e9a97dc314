#pragma once

#include <QObject>
#include <QString>

#include <memory>

namespace platform {

// Tells when this machine's own addresses or routes change: rtnetlink's address and route
// groups on Linux (AddressEventsLinux.cpp), the IP Helper's interface and unicast address
// notifications on Windows (AddressEventsWindows.cpp). A burst of changes may come as several
// signals; the news says only that something changed, never what.
class AddressEvents : public QObject {
    Q_OBJECT
public:
    explicit AddressEvents(QObject* parent = nullptr);
    ~AddressEvents() override;

    // False, with Problem(), when the system cannot tell.
    bool IsListening() const;
    QString Problem() const;

signals:
    void changed();

private:
    struct Native;
    std::unique_ptr<Native> m_native;
};

} // namespace platform
