#include "AddressEvents.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <iphlpapi.h>

namespace platform {

namespace {

// The IP Helper calls back on a thread of its own; the news goes on to the event loop's.
void tell(void* context) {
    auto* events = static_cast<AddressEvents*>(context);
    QMetaObject::invokeMethod(
        events, [events] { emit events->changed(); }, Qt::QueuedConnection);
}

VOID WINAPI onInterface(PVOID context, PMIB_IPINTERFACE_ROW, MIB_NOTIFICATION_TYPE) {
    tell(context);
}

VOID WINAPI onAddress(PVOID context, PMIB_UNICASTIPADDRESS_ROW, MIB_NOTIFICATION_TYPE) {
    tell(context);
}

} // namespace

struct AddressEvents::Native {
    HANDLE interfaces = nullptr;
    HANDLE addresses = nullptr;
    QString problem;

    ~Native() {
        // Waits for a callback under way, so that none comes after the object is gone.
        if (interfaces)
            CancelMibChangeNotify2(interfaces);
        if (addresses)
            CancelMibChangeNotify2(addresses);
    }
};

AddressEvents::AddressEvents(QObject* parent) : QObject(parent), m_native(new Native) {
    Native& n = *m_native;
    const DWORD interfaces =
        NotifyIpInterfaceChange(AF_UNSPEC, onInterface, this, FALSE, &n.interfaces);
    const DWORD addresses =
        NotifyUnicastIpAddressChange(AF_UNSPEC, onAddress, this, FALSE, &n.addresses);
    if (interfaces != NO_ERROR || addresses != NO_ERROR)
        n.problem = QStringLiteral("the system's address news cannot be heard (error %1)")
                        .arg(interfaces != NO_ERROR ? interfaces : addresses);
}

AddressEvents::~AddressEvents() = default;

bool AddressEvents::IsListening() const {
    return m_native->interfaces || m_native->addresses;
}

QString AddressEvents::Problem() const {
    return m_native->problem;
}

} // namespace platform
