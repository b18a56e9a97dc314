#pragma once

#include "PublishState.h"

#include <QString>

class frmOptions;

// Finds the address that replaces the page's IP marker, from the source that the settings
// store's Address section names (this machine's IPv4 address when it names none). False,
// after telling the user why, when there is none to publish: an answer from the router or a
// web service must be an address that the internet can reach. False without a word when the
// upload is cancelled meanwhile.
bool FindPublishedAddress(QString& address);

// The page's second marker, for an IPv6 address: [HTML] IPv6Marker without the spaces around
// it, "%Tallyhost6%" when unset.
QString IPv6Marker();

// Why the page's IPv6 marker was left empty, as one sentence; empty when it was not.
QString IPv6Note(const platform::Publication& publication);

// Finds the IPv6 address for the second marker the way the Source says: this machine's stable
// address for local and local6, the web services over IPv6 for web, every IPv6 source under
// the agreement rule for auto. False, with the reason, when there is none; the marker is then
// replaced by nothing.
bool FindPublishedIPv6Address(QString& address, QString& why);

// Where the published address comes from, as the settings store names it ("local" when it
// names none).
QString PublishedAddressSource();

// What uploading the main window's page publishes, all but the address, which the caller
// fills in. The template is hashed only when uploads are to happen on a change only.
platform::Publication DescribePublication();

// True when uploads are to happen on a change only, the last upload published this same
// page, and fewer than the set number of days have passed since.
bool PublishedAlready(const platform::Publication& publication);

// Keeps what has just reached the server, for the next run and the Options dialog.
void RecordPublished(platform::Publication publication);

// Tools > Options: shows the dialog, filled from the settings store, modal over the main window.
void ShowOptions();
void LoadOptions(frmOptions& dialog);
// Stores the dialog's choices. False, after telling the user, when they cannot be kept.
bool SaveOptions(frmOptions& dialog);
// Asks every source at once and shows each answer beside it as it arrives, then what the
// agreement rule makes of them.
void DetectAddresses(frmOptions& dialog);
