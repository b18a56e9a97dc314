#pragma once

#include <QObject>
#include <QString>

#include <chrono>
#include <memory>

namespace platform {

// The FTP transfer control. Execute() starts one command and returns at once; the command
// runs off the GUI thread, and its end reaches the GUI thread as an event, after which
// StillExecuting() answers false. The commands of one object share one logged-in connection.
//
// Commands:
//   CD dir              change the directory for the commands that follow: relative to the
//                       current one (the login directory at first), absolute when it starts
//                       with "/". Fails when the server refuses it.
//   PUT local remote    upload the local file under the remote name in the current directory.
// A name holding spaces is written in double quotes.
class Inet : public QObject {
    Q_OBJECT
public:
    explicit Inet(QObject* parent = nullptr);
    ~Inet() override;

    // "ftp://host" or "ftp://host:port".
    QString URL;
    QString UserName;
    QString Password;

    void Execute(const QString& operation);
    bool StillExecuting() const;

    // The outcome of the last finished command: success, or a reason a person understands
    // (the client's error or the server's reply). Never holds the password.
    bool LastSucceeded() const;
    QString LastError() const;

    // How long the server may stay silent before a command gives up. 60 s unless changed.
    void setRequestTimeout(std::chrono::milliseconds timeout);

signals:
    // A command has finished; StillExecuting() is false from here on.
    void CommandFinished();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace platform
