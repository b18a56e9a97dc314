#include "MessageLine.h"

#include <QStringList>

#include <cstdio>

namespace platform {

namespace {

MessageLine*& innermost() {
    static MessageLine* line = nullptr;
    return line;
}

Message& lastWritten() {
    static Message last;
    return last;
}

void writeLine(const Message& m) {
    lastWritten() = m;
    const QByteArray line = (m.title + QLatin1String(": ") + m.text).toLocal8Bit() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

} // namespace

MessageLine::MessageLine() : m_outer(innermost()) {
    innermost() = this;
}

MessageLine::~MessageLine() {
    innermost() = m_outer;
    if (m_held.isEmpty())
        return;
    Message joined = m_held.takeLast();
    QStringList reasons;
    for (const Message& m : std::as_const(m_held))
        reasons << (m.title == joined.title ? m.text : m.title + QLatin1String(": ") + m.text);
    if (!reasons.isEmpty())
        joined.text += QLatin1String(" (") + reasons.join(QLatin1String("; ")) + QLatin1Char(')');
    Say(joined);
}

Message MessageLine::LastWritten() {
    return lastWritten();
}

void MessageLine::Say(const Message& message) {
    // A message that spans lines would read as several.
    Message m = message;
    m.text.replace(QLatin1String("\r\n"), QLatin1String(" "));
    m.text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    m.text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    if (MessageLine* line = innermost())
        line->m_held.append(m);
    else
        writeLine(m);
}

} // namespace platform
