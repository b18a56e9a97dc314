#pragma once

#include "InetExchange.h"
#include "SshKeys.h"

#include <QByteArray>
#include <QMap>
#include <QString>

#include <curl/curl.h>

#include <optional>
#include <vector>

namespace platform::inet {

// One way of logging into an SSH server.
struct SshMethod {
    enum class Kind { Agent, KeyFile, Password };
    Kind kind = Kind::Password;
    QString keyFile;       // KeyFile: the private key's path
    QByteArray passphrase; // KeyFile: what opens it, when it needs anything
};

// What the login may use beyond the user name and the password: the one key file the user
// named (empty: OpenSSH's own), passphrases the user has given for key files, by path (an
// empty one: do without that key), and whether a key that needs one not given stops the login
// so that the user can be asked (else the key is passed over).
struct SshCredentials {
    QString keyFile;
    QMap<QString, QString> passphrases;
    bool askForPassphrase = false;
};

// Logs into an SSH server as OpenSSH's ssh does when it needs no password: the agent's keys
// first (when SSH_AUTH_SOCK names one), then the key files (the one named, or ~/.ssh/id_ed25519,
// id_ecdsa and id_rsa), then the password, when one is set and the server takes one. The
// program's own SSH connection makes every try on one connection, as ssh does, once it knows the
// server's list of ways; curl (where the build has no such connection) tries one key file a
// connection, and the password before the agent, so there each try is a connection of its own,
// and the list (known after the first) passes over what the server would refuse anyway. Nothing
// is offered, and the agent is not asked, before the host key has passed. A key file that others
// may read, or another user's, is passed over as ssh passes it over.
class SshLogin {
public:
    // An empty password: none is set.
    SshLogin(const SshCredentials& credentials, const QString& password,
             const QString& hostAndPort);

    // Sets the next try's options on the handle. False, with the reason, when it stops before
    // connecting: a key file needs a passphrase the user is to be asked for.
    bool prepare(CURL* easy, QString* error);
    // What curl is to tell about the try on its way.
    void expect(Reply* reply) const;
    // After a failed try: true when another remains that may pass.
    bool next(const Reply& reply);

    // For a login on a connection of the program's own, which learns the server's ways first
    // and makes every try on that one connection: the ways the server listed; the try to make
    // next, nothing when none is left or (with the reason in error) a key file needs a
    // passphrase the user is to be asked for; and the server's refusal of that try.
    void learn(const QString& methods);
    std::optional<SshMethod> upcoming(QString* error);
    void refused(const Reply& reply);

    // The key file whose passphrase the user is to be asked for (again, after a wrong one).
    QString passphraseWanted() const { return m_wanted; }
    // Why the login was refused, naming everything tried; empty when keys played no part, so
    // that the password's refusal reads as before.
    QString denied() const;

private:
    struct Try {
        SshMethod method;
        QString shown; // the key file as the user knows it
        bool locked = false;
    };
    void findKeyFiles(const QString& named);
    bool worthTrying(const Try& t) const;
    void record(const Reply& reply);

    SshCredentials m_credentials;
    std::vector<Try> m_tries;
    size_t m_at = 0;
    bool m_methodsOnly = false; // the try under way only learns the server's ways
    bool m_methodsKnown = false;
    bool m_keysPlayed = false; // an agent or a key file was there to try
    ssh::LoginTried m_tried;
    QString m_wanted;
};

// How many keys the agent that SSH_AUTH_SOCK names holds; -1 when it cannot tell.
int AgentKeyCount();

} // namespace platform::inet
