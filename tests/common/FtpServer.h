#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <memory>

// How a throwaway FtpServer behaves. Every field has a sensible default, so
// `server.start({.replyDelay = 2s})` names only what a test is about.
struct FtpServerOptions {
    QString user = QStringLiteral("vantrell");
    QString password = QStringLiteral("Pa55-word!");
    // Folder the user logs into; empty: a fresh temporary folder that goes with the server.
    QString root{};
    // pyftpdlib permission letters for the user ("elradfmwMT" is everything).
    QString permissions = QStringLiteral("elradfmwMT");
    // Accept connections and never send a byte, not even the greeting.
    bool silent = false;
    // Wait this long before every reply (the greeting included).
    std::chrono::milliseconds replyDelay{0};
    // Cut the data connection of every upload once this many bytes have arrived (0: never).
    qint64 dropUploadsAfter = 0;
    // Stop reading every upload once this many bytes have arrived, leaving it hanging (0: never).
    qint64 stallUploadsAfter = 0;
    // Receive uploads at no more than this many bytes a second (0: as fast as possible).
    qint64 readLimit = 0;
    // Receive uploads at this many bytes a second, evenly, a little at a time (0: as fast as
    // possible).
    qint64 steadyRate = 0;
    // Take every upload whole but never send the reply that ends it.
    bool withholdTransferReply = false;
    // Refuse RNTO onto a name that already exists, as some servers do.
    bool refuseRenameOntoExisting = false;
    // Refuse RNTO, after RNFR has answered 350, when the file renamed or its new name matches
    // these wildcard patterns (empty: never), with this reply.
    QString refuseRenameFrom{};
    QString refuseRenameTo{};
    QString renameRefusal = QStringLiteral("553 File name not allowed.");
    // Refuse STOR of names that start with a dot.
    bool refuseDotFiles = false;
    // Refuse STOR of a name not there yet, as where the login may not write into the folder.
    bool refuseNewFiles = false;
    // The server's umask for the files it creates, in octal ("077"); empty: the test's own.
    QString umask{};
    // Offer neither MLST nor MLSD, as older servers do.
    bool withoutMlst = false;
    // Repeat a wrong password in the 530 reply that refuses it.
    bool echoPassword = false;
    // The ports the server listens on for data connections, "first-last"; empty: any.
    QString passivePorts{};
    // The greeting's text after "220 ".
    QString greeting = QStringLiteral("Vantrell test server ready.");
    // A folder below the root where each login starts, so that ".." leads somewhere.
    QString loginDir{};
};

// A real FTP server (Debian's pyftpdlib, run by tests/common/ftpserver.py) on 127.0.0.1 and a
// free port, for one test. Stopped and its temporary root removed when the object goes.
//
//     FtpServer server;
//     QVERIFY2(server.start(), qPrintable(server.errorString()));
//     inet.URL = server.url();            // "ftp://127.0.0.1:<port>"
//     inet.UserName = server.user();
//     inet.Password = server.password();
//     ... QDir(server.root()) holds what was uploaded ...
//     QCOMPARE(server.loginCount(), 1);
//
// The interpreter is $VANTRELL_TEST_PYTHON (else /usr/bin/python3) and the script
// $VANTRELL_FTP_SERVER; vantrell_add_test sets both.
class FtpServer {
public:
    using Options = FtpServerOptions;

    FtpServer();
    ~FtpServer();
    FtpServer(const FtpServer&) = delete;
    FtpServer& operator=(const FtpServer&) = delete;

    // Starts the server and waits until it listens. False with errorString() on failure.
    bool start();
    bool start(const Options& options);
    QString errorString() const { return m_error; }

    quint16 port() const { return m_port; }
    QString url() const; // "ftp://127.0.0.1:<port>"
    QString root() const { return m_root; }
    QString user() const { return m_options.user; }
    QString password() const { return m_options.password; }

    // What the server has seen so far, one event a line, oldest first:
    //   "CONNECT 127.0.0.1", "CMD <command line>" (PASS shows as "CMD PASS ******"),
    //   "LOGIN <user>", "LOGIN-FAILED <user>", "RECEIVED <path>", "INCOMPLETE <path>"
    //   (paths relative to the root, with "/"), "DISCONNECT".
    // The server writes each event before it answers the client, so whatever a client has
    // seen an answer to is already here.
    QStringList log();
    // The command lines received, without the "CMD " prefix.
    QStringList commands();
    int loginCount();
    int connectionCount();

private:
    void readEvents();

    Options m_options;
    std::unique_ptr<QTemporaryDir> m_ownRoot;
    QString m_root;
    QProcess m_process;
    quint16 m_port = 0;
    QByteArray m_pending; // a partial line
    QStringList m_log;
    QString m_error;
};
