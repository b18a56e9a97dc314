#pragma once

#include "MsgBox.h"
#include "Process.h"

#include <QList>

// Records every message the program shows while it lives, and answers each one OK.
class MessageRecorder {
public:
    MessageRecorder();
    ~MessageRecorder();
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;

    QList<platform::Message> messages;
    QStringList texts() const;

private:
    platform::MessageHandler m_previous;
};

// Records the status the program asked to end with, instead of ending the test.
class EndRecorder {
public:
    EndRecorder();
    ~EndRecorder();
    EndRecorder(const EndRecorder&) = delete;
    EndRecorder& operator=(const EndRecorder&) = delete;

    QList<int> statuses;

private:
    platform::EndProcessHandler m_previous;
};
