#pragma once

#include "InetFault.h"
#include "TrustProblem.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

namespace platform {

// The FTP transfer control. Execute() starts one command and returns at once; the command
// runs off the GUI thread, and its end reaches the GUI thread as an event, after which
// StillExecuting() answers false. The commands of one object share one logged-in connection.
//
// The URL's scheme chooses the protocol: none or ftp:// plain FTP, ftpes:// FTP with explicit
// TLS, ftps:// FTP with implicit TLS, sftp:// SSH. A secure one is never given up for clear
// text, and the password goes only to a server that has proved itself: by a certificate the
// system trusts for the host name, or the one the user trusts by its fingerprint (TLS), or by a
// host key in the user's known_hosts file (SSH). Commands mean the same with every protocol.
//
// Commands:
//   CD dir              change the directory for the commands that follow: relative to the
//                       current one (the login directory at first), absolute when it starts
//                       with "/". Fails when the server refuses it.
//   PUT local remote    upload the local file under the remote name in the current directory.
// A name holding spaces is written in double quotes; inside quotes, "" stands for one quote.
// CD also takes an unquoted directory holding spaces: the rest of the line, trimmed.
//
// The current directory belongs to the object: setting URL, UserName or Password (even to the
// same value) sends the next command back to the login directory, so every upload that sets
// them first starts from there.
//
// PUT never leaves a half-written file under the remote name and never deletes the old file
// before the new one is in place: it uploads to a name of its own beside it
// (".<name>.<pid>-<random>.part", so that uploads from other runs and machines never mix),
// gives that the old file's permissions where the server tells them and lets them be set, and
// renames it onto the name. A server that will not rename onto a name in use has the old file
// moved aside and back again if need be; a server that takes no such name or no renames at all
// gets the file straight under its name. Its own names are deleted after a failure where the
// server allows. A failed PUT leaves the old file where it was, unless its reason names the
// name the old file was kept under.
//
// Over SFTP the object's own SSH connection (where the build has libssh2) makes every request,
// CD and PUT alike, over one connection and one login: it asks what stands under the remote name
// and its permissions without listing the folder, and renames onto the name in one step where the
// server offers OpenSSH's posix-rename, so the old file is never missing.
//
// Directories are sent as written, ".." included: the server resolves them.
//
// Commands started while one runs wait their turn; CommandFinished fires once for each.
class Inet : public QObject {
    Q_OBJECT
public:
    // What a running PUT is doing: reaching and logging into the server, sending the page
    // (Progress says how much of it the server has taken in), or putting it in the old page's
    // place, once the server has confirmed that the whole page arrived.
    enum class Stage { Connecting, Uploading, Replacing };

    explicit Inet(QObject* parent = nullptr);
    // Abandons a running command at once (the server keeps its old file).
    ~Inet() override;

    // The server, "host[:port]" or "scheme://host[:port]", and the login for the commands that
    // follow.
    void setURL(const QString& url);
    void setUserName(const QString& userName);
    void setPassword(const QString& password);
    QString URL() const;
    QString UserName() const;

    // Over SSH the password comes last: the keys of the agent that SSH_AUTH_SOCK names go
    // first, then the private key file set here (empty: OpenSSH's own ~/.ssh/id_ed25519,
    // id_ecdsa and id_rsa, where they exist), then the password, when it is set and the server
    // takes one. A key file that needs a passphrase is passed over unless its passphrase is
    // given here (an empty one: do without that key), or asking is on: then the command stops
    // before offering it, and LastPassphraseWanted() names it, for the caller to ask and go
    // again. Never kept beyond the control's life.
    void setKeyFile(const QString& path);
    void setKeyPassphrase(const QString& keyFile, const QString& passphrase);
    void setAskForPassphrase(bool ask);
    // The key file whose passphrase the last command stopped for, or found wrong; empty when
    // none.
    QString LastPassphraseWanted() const;

    void Execute(const QString& operation);
    bool StillExecuting() const;
    // Stops the running command within a second and drops those waiting their turn, as the
    // end of the control does: the connection is closed, and the server keeps its old page.
    // The running command then counts as failed, and CommandFinished fires for it.
    void Cancel();
    // The stage the command that the last Cancel stopped had really reached (the signals that
    // tell it may still be on their way); nothing when no command was running.
    std::optional<Stage> CancelledDuring() const;

    // The outcome of the last finished command: success, or a reason a person understands
    // (the client's error or the server's reply). Never holds the password.
    bool LastSucceeded() const;
    QString LastError() const;
    // Which setting the last command's failure points at; Other after a success.
    InetFault LastFault() const;
    // What the last command has to say although it succeeded (old copies of the page the server
    // would not let it delete); empty mostly.
    QString LastNote() const;

    // Whom to trust beyond the system's certificate store: the one TLS certificate with this
    // SHA-256 fingerprint (empty: none), and the SSH host keys in this OpenSSH known_hosts file
    // (~/.ssh/known_hosts unless changed).
    void setTrustedCertificate(const QString& fingerprint);
    void setKnownHostsFile(const QString& path);
    QString KnownHostsFile() const;
    // When the last command failed because the server could not be trusted: what it presented.
    // Kind::None otherwise.
    TrustProblem LastTrustProblem() const;

    // How long the server may stay silent before a command gives up. 60 s unless changed.
    void setRequestTimeout(std::chrono::milliseconds timeout);
    // How long the commands after the control was pointed at a server (URL, UserName or
    // Password set) may take in all, however lively the server: 10 minutes unless changed.
    // Then the command running stops as a cut connection does: the server keeps its old file,
    // and the command's own temporary file goes where the server allows. Renames already under
    // way run to their end, so the page is never left moved aside.
    void setOverallTimeout(std::chrono::milliseconds timeout);

signals:
    // A command has finished; when it was the last one started, StillExecuting() is false
    // from here on.
    void CommandFinished();
    // The running command has moved on: another stage, or another whole percent of the page
    // sent while uploading.
    void Progress(platform::Inet::Stage stage, int percent);

private:
    void finishCommand(unsigned worker, bool succeeded, const QString& error, const QString& note,
                       const TrustProblem& trust);
    void startWorker();

    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace platform
