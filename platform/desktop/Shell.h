#pragma once

#include <QString>
#include <QUrl>

#include <functional>

// The shell's document-open service: ShellExecuteA on Windows, owned by the desktop window.
// Elsewhere the system's handler for the address opens it. Nothing is reported back.
namespace platform::shell {

inline constexpr int ShowNormal = 1; // SW_SHOWNORMAL

// Hands one request to the shell and ignores its answer.
void Execute(const QString& operation, const QString& file, const QString& parameters,
             const QString& directory, int showCommand);

// Replaces the service that Execute calls (tests record the requests instead of opening a
// browser). An empty handler restores the system's. Returns the handler that was in place.
using Handler =
    std::function<void(const QString& operation, const QString& file, const QString& parameters,
                       const QString& directory, int showCommand)>;
Handler SetHandler(Handler handler);

// The address a file text stands for outside Windows: backslashes read as slashes, as the
// Windows shell reads them, so "http:\\host\page.htm" is http://host/page.htm.
QUrl AddressOf(const QString& file);

} // namespace platform::shell
