#pragma once

#include <QString>

#include <chrono>
#include <optional>

namespace platform {

// The desktop's store of secrets: the Secret Service on the session bus (GNOME Keyring, KWallet,
// KeePassXC) on Linux, the Credential Manager on Windows, through QtKeychain. A secret is kept
// under the program's name and a key of the caller's. Every call waits at most the time it is
// given; meanwhile the window stays drawn but takes no input, so nothing the user does runs
// into the middle of a save. A build without QtKeychain has no keyring: it never answers.
namespace keyring {

enum class State { Open, Locked, Absent };

struct Status {
    State state = State::Absent;
    // Why there is none, or what it is: one phrase, without a full stop.
    QString reason;
};

// Whether a keyring answers, and whether it is locked, without asking the user anything.
// Never starts a session bus of its own.
Status Probe(std::chrono::milliseconds wait);

struct Reading {
    bool ok = false;
    std::optional<QString> secret; // nothing when the keyring holds none under the key
    QString reason;                // when not ok
};

// The secret under the key. A locked keyring may ask the user to unlock it meanwhile.
Reading Read(const QString& key, std::chrono::milliseconds wait);
// Keeps the secret under the key; true once the keyring has confirmed it.
bool Write(const QString& key, const QString& secret, std::chrono::milliseconds wait,
           QString* reason);
// Forgets the key's secret; true also when there was none.
bool Remove(const QString& key, std::chrono::milliseconds wait, QString* reason);

} // namespace keyring

} // namespace platform
