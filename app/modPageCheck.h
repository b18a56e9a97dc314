#pragma once

#include "PageCheck.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <optional>

class frmOptions;
class frmTallyhost;

// Where visitors open the page, and what they see there: after an upload, on the command line
// ("--check") and from Tools > Options.

// [HTML] PageURL without the spaces around it; empty when the page is not to be looked at.
QString PageURL();

// What a look at the page compares it with: the bytes uploaded, known by their hash and number.
struct UploadedPage {
    QByteArray hash;
    qint64 size = 0;
};

// Fetches the page's address as a visitor's browser does (redirects followed a few times, no
// cookies, caches asked not to answer from an old copy, the size and time bounded) and compares
// what comes with the page uploaded. With `again`, looks again for a short while as long as a
// cache may still hold an older copy. The status line of the window, when given, says where
// it has got to. Nothing when the upload was cancelled meanwhile.
std::optional<platform::PageSight> LookAtPage(frmTallyhost* form, const QString& url,
                                              const UploadedPage& uploaded, bool again);

// How long one look may take (10 s unless changed) and how long the looks go on while a cache
// may hold an older copy (20 s unless changed).
void SetPageLookPatience(std::chrono::milliseconds look, std::chrono::milliseconds caches);

// Answers "--check" without a display: what the page shows now, the address found on it and
// when that was published, or why it cannot be read, in one line on standard output. 0 when
// it shows the address the source gives now, 1 otherwise. Needs an application object.
int CheckPageFromCommandLine();

// Tools > Options: the page's address, and Check now, which looks at once and says what it
// found beside the field.
void LoadPageOptions(frmOptions& dialog);
// False, after telling the user, when the address is none a browser opens or the settings
// cannot be kept.
bool SavePageOptions(frmOptions& dialog);
