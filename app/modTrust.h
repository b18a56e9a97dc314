#pragma once

#include "TrustProblem.h"

#include <QString>

// What the upload job does about a server it could not trust (its certificate or host key).
//
// A changed host key is always refused, with a warning. Unattended, nothing is ever trusted:
// the one-line failure names the fingerprint and says how to trust it. Otherwise the user is
// shown what the server presented and decides; a host key they trust is added to the
// known_hosts file here. True when they trusted it and the upload may be tried again; a
// certificate's fingerprint is then for the caller to keep.
bool AskToTrust(const platform::TrustProblem& problem, bool unattended,
                const QString& knownHostsFile, const QString& settingsFile);
