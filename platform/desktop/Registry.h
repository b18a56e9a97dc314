#pragma once

#include <QByteArrayView>
#include <QString>

#include <cstdint>
#include <stdexcept>

// Read-only access to the machine's registry, through advapi32 on Windows. Other systems have
// no registry: every lookup there fails like a missing key. The decoding of what a read
// delivered is the same everywhere, so it is kept apart and usable on its own.
namespace platform::registry {

inline constexpr std::uint32_t LocalMachine = 0x80000002; // HKEY_LOCAL_MACHINE
inline constexpr std::uint32_t TypeString = 1;            // REG_SZ
inline constexpr std::uint32_t TypeExpandString = 2;      // REG_EXPAND_SZ
inline constexpr std::uint32_t TypeNumber = 4;            // REG_DWORD
inline constexpr std::uint32_t TypeMultiString = 7;       // REG_MULTI_SZ

// The key is opened asking for READ_CONTROL and every KEY_* right up to KEY_CREATE_LINK, write
// rights included: an account that may only read the key is refused, like a missing key.
inline constexpr std::uint32_t AccessMask = 0x2003F;
// A value is read into a buffer of this many bytes; a longer one cannot be read.
inline constexpr std::uint32_t BufferSize = 1024;

// A value that came back with no data at all: there is no last byte to look at, so the read
// cannot be turned into text. It travels to the caller, whose trap deals with it.
class EmptyValueError : public std::runtime_error {
public:
    EmptyValueError();
};

// Turns what a read delivered into KeyVal: `buffer` holds the data, `size` the number of bytes
// the read reported. The text is taken in the system's 8-bit code page, without its final NUL
// when it has one. A string becomes KeyVal; a number becomes its unsigned decimal text (least
// significant byte first); any other type leaves KeyVal as it was. Answers true, or false with
// KeyVal emptied when the data does not fit in the read buffer (more than BufferSize bytes, or
// more than `buffer` holds). Throws EmptyValueError when size is 0.
bool DecodeKeyValue(std::uint32_t type, QByteArrayView buffer, std::uint32_t size, QString& KeyVal);

// Reads the value SubKeyRef of the key KeyName below the root KeyRoot into KeyVal. True when
// read; false with KeyVal emptied when the key cannot be opened or the value cannot be read.
// Throws EmptyValueError for a value without data; the key is closed in every case.
bool GetKeyValue(std::uint32_t KeyRoot, const QString& KeyName, const QString& SubKeyRef,
                 QString& KeyVal);

} // namespace platform::registry
