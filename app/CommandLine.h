#pragma once

#include <optional>
#include <string_view>

// Answers "--help" and "--version" (and their short forms "-h" and "-V") before anything touches a
// window system, so that both work in a shell without a display. Returns the status to end with
// when one of them was on the command line (0, or 1 when standard output could not be written), and
// nothing otherwise: every other argument is left to the program, which ignores what it does not
// read. Whoever asks for help or the version expects nothing to happen, so either one wins over the
// unattended switch on the same line: nothing is published.
std::optional<int> AnswerInformationOptions(int argc, const char* const* argv);

// Whether the option is on the command line, as an argument of its own.
bool Asked(int argc, const char* const* argv, std::string_view option);
// Whether "--status" is on the command line. Like "--help", it wins over the unattended switch,
// and so does "--check".
bool StatusAsked(int argc, const char* const* argv);

// Whether "--tray" is on the command line: the icon in the notification area, and nothing
// else.
bool TrayAsked(int argc, const char* const* argv);

// Answers "--status", also without a display: the schedule as the system reports it, with its
// next run, what the watcher says of itself when there is one, then the last publish (address,
// where, when), the failures since, and the last attempt, read from the history of publish
// attempts. Returns the status to end with: 0, or 1 when standard output could not be written.
// Needs an application object.
int AnswerStatus();
