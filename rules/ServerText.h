#pragma once

#include <QString>

namespace platform {

// Text that a server or the network sent (a reply, a listing line, an error page, a web
// service's answer), as it may be shown in a window, written to a terminal or kept in the
// history: line breaks and tabs become spaces, and every other control character, and those
// that turn the direction of the text around, becomes "?". A terminal then never takes part of
// it for a command, and a window never shows text other than what came.
QString AsPlainText(const QString& text);

} // namespace platform
