#pragma once

#include <QString>

// What the runtime's application object answers for this program.
namespace platform::App {

inline constexpr auto Title = "Tallyhost";
inline constexpr int Major = 0;
inline constexpr int Minor = 6;
inline constexpr int Revision = 0;

inline QString title() {
    return QString::fromLatin1(Title);
}

} // namespace platform::App
