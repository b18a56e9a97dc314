#include "MessageLine.h"

#include "ServerText.h"

#include <QStringList>

#include <cstdio>

#if defined(Q_OS_WIN)
#include <windows.h>
#endif

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

void MessageLine::ReachStartingConsole() {
#if defined(Q_OS_WIN)
    // Output sent to a file or a pipe has its handle already and stays where it was sent.
    const bool out = GetStdHandle(STD_OUTPUT_HANDLE) != nullptr;
    const bool err = GetStdHandle(STD_ERROR_HANDLE) != nullptr;
    if ((out && err) || !AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    if (!out)
        std::freopen("CONOUT$", "w", stdout);
    if (!err)
        std::freopen("CONOUT$", "w", stderr);
#endif
}

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
    // A message that spans lines would read as several, and a control character that some
    // server's words carried in would reach the terminal as a command.
    Message m = message;
    m.text.replace(QLatin1String("\r\n"), QLatin1String(" "));
    m.text = AsPlainText(m.text);
    if (MessageLine* line = innermost())
        line->m_held.append(m);
    else
        writeLine(m);
}

} // namespace platform
