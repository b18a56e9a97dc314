#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringList>

// How an SSH login with keys is planned and told, the way OpenSSH's ssh does it: which key
// files stand in for the user, which of them may be used at all, and what a refused login
// says about everything that was tried.
namespace platform::ssh {

// The private keys ssh tries when none is named, in its order, under ~/.ssh.
QStringList DefaultKeyFileNames();

// Why a private key file may not be used, as ssh refuses it: another user's file, or one that
// others may read or change (any bit of the group's or others'). Empty when it may. The path
// is the one shown to the user.
QString KeyFileProblem(const QString& shownPath, unsigned owner, unsigned user, unsigned mode);

// Whether a private key file needs its passphrase before it can be used: the OpenSSH format
// names its cipher, PEM files say "ENCRYPTED". Unknown for what is no private key.
enum class KeyLock { Open, Passphrase, Unknown };
KeyLock LockOf(QByteArrayView privateKeyFile);

// A path as the user knows it: "~/..." inside the home folder.
QString ShownPath(const QString& path, const QString& home);

// Everything a refused login tried and passed over, in the order it happened.
struct LoginTried {
    int agentKeys = -1;     // how many keys the agent offered; -1 when it was not asked
    QStringList keyFiles;   // shown paths of the key files offered
    QStringList passedOver; // why a key file was not offered, one sentence each
    bool passwordSet = false;
    bool passwordSent = false;
    // The ways the server takes ("publickey,password"), as it listed them; empty when unknown.
    QString serverMethods;
    QString hostAndPort;
};

// "Login denied: the server refused the 2 keys of the agent and ~/.ssh/id_ed25519; no
// password is set", with what was passed over after it.
QString LoginDeniedText(const LoginTried& tried);

} // namespace platform::ssh
