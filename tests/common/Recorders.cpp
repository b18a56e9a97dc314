#include "Recorders.h"

MessageRecorder::MessageRecorder()
    : m_previous(
          platform::SetMessageHandler([this](const platform::Message& m) { messages.append(m); })) {
}

MessageRecorder::~MessageRecorder() {
    platform::SetMessageHandler(std::move(m_previous));
}

QStringList MessageRecorder::texts() const {
    QStringList out;
    for (const auto& m : messages)
        out << m.text;
    return out;
}

EndRecorder::EndRecorder()
    : m_previous(platform::SetEndProcessHandler([this](int status) { statuses.append(status); })) {}

EndRecorder::~EndRecorder() {
    platform::SetEndProcessHandler(std::move(m_previous));
}
