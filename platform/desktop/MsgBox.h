#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace platform {

enum class MsgIcon { None, Critical, Question, Exclamation, Information };

struct Message {
    QString text;
    MsgIcon icon = MsgIcon::None;
    QString title;
    // A question's two answers as its buttons say them, and whether the first is the default.
    QString yes = QStringLiteral("Yes");
    QString no = QStringLiteral("No");
    bool yesIsDefault = true;
};

// Every message the program shows goes through here: a modal box with a single OK button.
// An empty title stands for the application title. When nobody can see the window system,
// the message becomes one "TITLE: TEXT" line on standard error (see MessageLine) and counts as
// answered.
void MsgBox(const QString& text, MsgIcon icon = MsgIcon::None, const QString& title = {});

// The last message given, shown or written: an unattended run's notice of a failure repeats it.
Message LastMessage();

// Replaces where messages go (tests record them). An empty handler restores the default.
// Returns the handler that was in place.
using MessageHandler = std::function<void(const Message&)>;
MessageHandler SetMessageHandler(MessageHandler handler);

// A question with Yes and No buttons, Yes the default; true when Yes was chosen. When nobody can
// see the window system, the answer is Yes.
bool MsgBoxYesNo(const QString& text, MsgIcon icon = MsgIcon::Question, const QString& title = {});

// A question whose buttons say what each answer does (yes first, then no); defaultYes chooses
// which one Enter presses. True when yes was chosen. When nobody can see the window system,
// the answer is yes.
bool MsgBoxChoice(const QString& text, const QString& yes, const QString& no, bool defaultYes,
                  MsgIcon icon = MsgIcon::Question, const QString& title = {});

// Replaces who answers questions (tests answer them). An empty handler restores the default.
using QuestionHandler = std::function<bool(const Message&)>;
QuestionHandler SetQuestionHandler(QuestionHandler handler);

// Asks for a secret (a key's passphrase) in a box that shows it as dots; nothing is kept. Nothing
// when the user declined, or when nobody can see the window system.
std::optional<QString> InputSecret(const QString& text, const QString& title = {});

// Replaces who answers InputSecret (tests answer it). An empty handler restores the default.
using SecretHandler = std::function<std::optional<QString>(const Message&)>;
SecretHandler SetSecretHandler(SecretHandler handler);

// While it lives, remembers the last message shown, wherever it went.
class MessageWatch {
public:
    MessageWatch();
    ~MessageWatch();
    MessageWatch(const MessageWatch&) = delete;
    MessageWatch& operator=(const MessageWatch&) = delete;

    std::optional<Message> Last() const { return m_last; }

private:
    friend void MsgBox(const QString&, MsgIcon, const QString&);
    MessageWatch* m_outer;
    std::optional<Message> m_last;
};

// True when the window system is one that nobody can see (offscreen, minimal).
bool IsHeadless();

// Called before the application object exists, with the arguments as the program got them
// (the toolkit's own options still among them) and whether the run is unattended. A window
// system asked for by name (QT_QPA_PLATFORM, -platform) is used as asked. Otherwise an
// unattended run falls back to the minimal window system when no display can be opened,
// instead of aborting, and a run for a person says that it needs a display and how to run
// unattended. Whatever keeps the window system from starting ends the program with status 2
// and one line on standard error. The toolkit's own warnings stay off standard error while it
// starts, and for good when headless, since schedulers mail whatever a job prints.
void PrepareWindowSystem(const QStringList& arguments, bool unattended);

// Called once the application object exists: leaves the environment to the programs this one
// starts as it found it, and lets the toolkit's warnings through again unless headless.
void WindowSystemStarted();

} // namespace platform
