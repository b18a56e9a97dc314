#pragma once

#include "PublishState.h"

#include <optional>

// Tells the desktop what an unattended run did that someone should know: one notice when
// publishing starts failing (with the reason), one when it works again, and, when the user
// asked for it in Tools > Options, one when the published address changes. Without a desktop
// to tell, the message on standard error is all there is, as always.
// published: how the run ended; before: what was published when it started.
void NoticeUnattendedRun(bool published, const std::optional<platform::Publication>& before);

// Whether the user asked for a notice when the published address changes (off unless set).
bool NoticeOnAddressChange();
// False, once a box has said so, when the settings could not be saved.
bool SetNoticeOnAddressChange(bool on);
