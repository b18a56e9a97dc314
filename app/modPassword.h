#pragma once

#include "SettingsStore.h"

#include <QString>

class frmOptions;

// Where the password for the web space is kept: in the desktop's keyring, under the site and
// the user name, or in the settings file's Password line. PasswordStore under [FTP] chooses:
// keyring (the default where one answers) or file. A Password line in the file, hand-written
// or from before, is used as it stands, whatever the choice.

// The password for the site and user: the file's Password line where there is one, else the
// keyring's when the settings keep it there. What was read, and from where, is remembered, so
// that saving writes only what changed. When the keyring holds it and cannot be read (locked,
// or none answers where the keyring was chosen), the password is empty, and PasswordAtHand()
// says why.
QString LoadPassword(platform::SettingsStore& store, const QString& site, const QString& user);

// False, after saying why and what to do, when the password is in the keyring, which could
// not be read, and nothing stands in for it: none typed, and no key an SSH server may take.
bool PasswordAtHand(const QString& site, const QString& password);

// For a run nobody watches that finds no password where no keyring answers and none was
// chosen: a sentence on where it may be, to follow "Must supply FTP password."; empty otherwise.
QString PasswordHint();

// Keeps the password the window shows where the settings choose. Into the keyring, the Password
// line leaves the file only once the keyring has confirmed the password (PasswordStore stays as
// it was: the keyring is the default); where no keyring answers and none was chosen, the file
// keeps it as before. A keyring that was chosen and refuses is said once, and the file is left as
// it was. An unattended run moves nothing: it writes the file's password back as it found it.
void SavePassword(platform::SettingsStore& store, const QString& site, const QString& user,
                  const QString& password);

// Tools > Options: where the password is kept, and where it is to be kept; choosing the other
// place moves it there when OK is pressed.
void LoadPasswordOptions(frmOptions& dialog);
bool SavePasswordOptions(frmOptions& dialog);
