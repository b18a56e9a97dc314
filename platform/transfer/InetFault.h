#pragma once

namespace platform {

// Which of the user's settings a failed transfer command points at, so that the window can take
// the user to it: the site (no such host, nobody answering, no TLS), the login (refused), or the
// upload directory (not there or not allowed). Other: none of them, or no telling.
enum class InetFault { Other, Site, Login, Directory };

} // namespace platform
