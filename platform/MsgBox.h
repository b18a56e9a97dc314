#pragma once

#include <QString>

#include <functional>

namespace platform {

enum class MsgIcon { None, Critical, Question, Exclamation, Information };

struct Message {
    QString text;
    MsgIcon icon = MsgIcon::None;
    QString title;
};

// Every message the program shows goes through here: a modal box with a single OK button.
// An empty title stands for the application title. When nobody can see the window system,
// the message becomes one "TITLE: TEXT" line on standard error and counts as answered.
void MsgBox(const QString& text, MsgIcon icon = MsgIcon::None, const QString& title = {});

// Replaces where messages go (tests record them). An empty handler restores the default.
// Returns the handler that was in place.
using MessageHandler = std::function<void(const Message&)>;
MessageHandler SetMessageHandler(MessageHandler handler);

// True when the window system is one that nobody can see (offscreen, minimal).
bool IsHeadless();

// Called before the application object exists: picks the offscreen window system when Linux
// has no display at all, and keeps the toolkit's own warnings off standard error when headless,
// since schedulers mail whatever a job prints.
void PrepareWindowSystem();

} // namespace platform
