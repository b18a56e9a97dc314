#pragma once

#include "InetExchange.h"
#include "InetSite.h"
#include "SshLogin.h"
#include "SystemCertificates.h"
#include "TrustProblem.h"

#include <memory>
#include <optional>

namespace platform::inet {

class SftpSession;

// How the site's protocol does each thing a transfer needs: the curl options of a request (this
// one protocol only, its encryption, the check of the server's identity), how a directory is
// named, and the commands that rename, delete and set a mode. One object serves the requests
// of one command.
class Dialect {
public:
    // The server proves itself by a certificate the system's authorities trust or whose
    // SHA-256 fingerprint is trustedCertificate (TLS), or by a host key in the knownHostsFile
    // (SSH). The authorities, needed for TLS alone, and the SSH login, which carries over from
    // one command to the next, outlive the dialect; so does the program's own SFTP session,
    // where it makes the requests instead of curl.
    static std::unique_ptr<Dialect> For(const Site& site, const QString& trustedCertificate,
                                        const SystemCertificates* authorities,
                                        const QString& knownHostsFile, SshLogin* login,
                                        const SftpSession* session = nullptr);
    virtual ~Dialect() = default;
    Dialect(const Dialect&) = delete;
    Dialect& operator=(const Dialect&) = delete;

    // Adds this protocol's options to the handle of a request. False with a reason when the
    // request cannot be made as safely as the site asks.
    virtual bool prepare(CURL* easy, const Request& request, QString* error) = 0;
    // Whether a connection that has carried one transfer of data must give way to a fresh one
    // before the next; commands alone may go on over it.
    virtual bool oneTransferPerConnection() const { return false; }
    // Whether the server confirms an upload only as a whole, with its reply at the end (FTP),
    // rather than piece by piece as it takes it in (SFTP).
    virtual bool confirmsWholeUploadOnly() const { return false; }
    // What the server presented, when a request stopped because it could not be trusted.
    virtual TrustProblem trustProblem() const { return {}; }
    // Why a connection was given up before the protocol began, when a request stopped there.
    virtual QString connectProblem() const { return {}; }
    // What the request is to tell about the login on its way, set before it starts.
    virtual void expect(Reply*) const {}
    // Why the login was refused, when the protocol says more than the server's reply.
    virtual QString loginProblem() const { return {}; }
    // Whether a failed request may pass when made once more, prepared otherwise.
    virtual bool askAgain(const Reply&) { return false; }

    // The URL of a directory, ending in "/".
    virtual QByteArray directoryUrl(const RemotePath& dir) const = 0;
    // A request that tells whether the directory exists and can be entered, and its reading.
    virtual Request directoryCheck(const RemotePath& dir) const = 0;
    virtual bool directoryFound(const Reply& check) const { return check.code == CURLE_OK; }

    // Commands to run after a request in the directory `dir`, about names in it. Deleting and
    // setting a mode happen where the server allows; their failure stops nothing.
    virtual QStringList rename(const RemotePath& dir, const QString& from,
                               const QString& to) const = 0;
    virtual QString removeIfAllowed(const RemotePath& dir, const QString& name) const = 0;
    virtual QString setModeIfAllowed(const RemotePath& dir, int mode,
                                     const QString& name) const = 0;

    // The permissions of a file: the request that asks for them, and where its reply says them.
    // The same request lists the directory, where the server allows.
    virtual Request modeQuery(const RemotePath& dir, const QString& name) const = 0;
    virtual std::optional<int> modeIn(const Reply& reply, const QString& name) const = 0;
    // The lines of that reply that describe the directory's entries, one each, or nothing when
    // the server did not list it. An MLST fact line of the file may be among them.
    virtual std::optional<QStringList> listingIn(const Reply& reply) const = 0;

    // A request about the page alone, however many files stand beside it, and what its reply
    // says stands under the name (nothing where it cannot tell); none where the protocol has
    // no such request curl can make.
    virtual std::optional<Request> pageQuery(const RemotePath&, const QString&) const {
        return std::nullopt;
    }
    virtual std::optional<NameFacts> factsIn(const Reply&, const QString&) const {
        return std::nullopt;
    }

    // Whether the modeQuery reply lists `name` at all; nullopt where the reply cannot tell.
    virtual std::optional<bool> lists(const Reply&, const QString&) const { return std::nullopt; }
    // False where renaming onto a name in use never works, so that the old page is moved aside
    // in the same breath rather than after a rename that is bound to fail.
    virtual bool renamesOntoTakenNames() const { return true; }

    // Whether a request that ends in a rename (an upload, or commands alone) put the new name
    // in place.
    virtual bool renamed(const Reply& reply) const { return reply.code == CURLE_OK; }

    // Readings of a failed upload (followed by its commands): refused for good under this
    // name, where a plain upload under another may pass; failed after the server had opened
    // the file; arrived whole, but the rename onto the page was refused.
    virtual bool nameRefused(const Reply& upload) const = 0;
    virtual bool uploadBegan(const Reply& upload) const = 0;
    virtual bool renameRefused(const Reply& upload) const = 0;

protected:
    explicit Dialect(const Site& site) : m_site(site) {}
    Site m_site;
};

std::unique_ptr<Dialect> MakeFtpDialect(const Site& site, const QString& trustedCertificate,
                                        const SystemCertificates* authorities);
std::unique_ptr<Dialect> MakeSftpDialect(const Site& site, const QString& knownHostsFile,
                                         SshLogin* login, const SftpSession* session);

} // namespace platform::inet
