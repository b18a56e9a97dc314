#pragma once

#include "MsgBox.h"

#include <QList>

namespace platform {

// A run that nobody watches says what went wrong in one line, as a scheduler mails it. While a
// MessageLine exists, the messages that nobody can see are held rather than written, and come
// out together when it ends: the last one, which says what became of the run, with the ones
// before it (the reasons a library gave on its way there) in brackets after it.
class MessageLine {
public:
    MessageLine();
    ~MessageLine();
    MessageLine(const MessageLine&) = delete;
    MessageLine& operator=(const MessageLine&) = delete;

    // A message that nobody can see: held by the innermost MessageLine, or else written to
    // standard error at once as "TITLE: TEXT".
    static void Say(const Message& message);
    // The last line written to standard error; empty text when none was.
    static Message LastWritten();
    // Windows starts a windowed program without the standard streams of the console it was
    // started from: this connects the ones missing to that console, if there is one.
    static void ReachStartingConsole();

private:
    QList<Message> m_held;
    MessageLine* m_outer;
};

} // namespace platform
