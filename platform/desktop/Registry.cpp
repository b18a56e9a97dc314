#include "Registry.h"

#include <QtGlobal>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

#include <algorithm>
#include <array>

namespace platform::registry {

EmptyValueError::EmptyValueError() : std::runtime_error("the registry value holds no data") {}

bool DecodeKeyValue(std::uint32_t type, QByteArrayView buffer, std::uint32_t size,
                    QString& KeyVal) {
    if (size > BufferSize || size > std::uint64_t(buffer.size())) {
        KeyVal.clear();
        return false;
    }
    if (size == 0)
        throw EmptyValueError();

    QByteArrayView bytes = buffer.first(qsizetype(size));
    if (bytes.back() == '\0')
        bytes.chop(1);

    switch (type) {
    case TypeString:
        KeyVal = QString::fromLocal8Bit(bytes);
        break;
    case TypeNumber: {
        // The read buffer starts zeroed, so a shorter number reads as if padded with zeros.
        std::uint32_t n = 0;
        for (qsizetype i = std::min<qsizetype>(size, 4); i-- > 0;)
            n = (n << 8) | std::uint8_t(buffer[i]);
        KeyVal = QString::number(n);
        break;
    }
    default:
        break;
    }
    return true;
}

#ifdef Q_OS_WIN

namespace {

class OpenKey {
public:
    OpenKey(std::uint32_t root, const QString& name) {
        const QByteArray path = name.toLocal8Bit();
        // Registry roots are sign-extended handle values.
        const auto rootKey = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(LONG(root)));
        if (RegOpenKeyExA(rootKey, path.constData(), 0, AccessMask, &m_key) != ERROR_SUCCESS)
            m_key = nullptr;
    }
    ~OpenKey() {
        if (m_key)
            RegCloseKey(m_key);
    }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;

    HKEY get() const { return m_key; }

private:
    HKEY m_key = nullptr;
};

} // namespace

bool GetKeyValue(std::uint32_t KeyRoot, const QString& KeyName, const QString& SubKeyRef,
                 QString& KeyVal) {
    const OpenKey key(KeyRoot, KeyName);
    if (!key.get()) {
        KeyVal.clear();
        return false;
    }

    std::array<char, BufferSize> buffer{};
    DWORD type = 0;
    DWORD size = BufferSize;
    const QByteArray valueName = SubKeyRef.toLocal8Bit();
    if (RegQueryValueExA(key.get(), valueName.constData(), nullptr, &type,
                         reinterpret_cast<LPBYTE>(buffer.data()), &size) != ERROR_SUCCESS) {
        KeyVal.clear();
        return false;
    }
    return DecodeKeyValue(type, QByteArrayView(buffer.data(), buffer.size()), size, KeyVal);
}

#else

bool GetKeyValue(std::uint32_t, const QString&, const QString&, QString& KeyVal) {
    KeyVal.clear();
    return false;
}

#endif

} // namespace platform::registry
