#include "OwnNetwork.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTest>

#include <unistd.h>

bool RanInOwnNetwork() {
    constexpr auto marker = "VANTRELL_OWN_NETWORK";
    if (qEnvironmentVariableIsSet(marker))
        return false;

    QString function = QString::fromLatin1(QTest::currentTestFunction());
    if (const char* tag = QTest::currentDataTag())
        function += u':' + QString::fromLocal8Bit(tag);
    // An ordinary user needs a user namespace of their own to bring the loopback interface up.
    QStringList args;
    if (getuid() != 0)
        args << QStringLiteral("-r");
    args << QStringLiteral("-n") << QStringLiteral("/bin/sh") << QStringLiteral("-c")
         << QStringLiteral("ip link set lo up && exec \"$@\"") << QStringLiteral("sh")
         << QCoreApplication::applicationFilePath() << function;

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(marker), QStringLiteral("1"));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QStringLiteral("unshare"), args);
    if (!child.waitForFinished(280000)) {
        child.kill();
        child.waitForFinished();
    }
    const QByteArray output = child.readAll();
    if (child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0)
        return true;
    if (output.startsWith("unshare:"))
        QTest::qSkip("no network namespace can be made here", __FILE__, __LINE__);
    else
        QTest::qFail(("in a network of its own:\n" + output).constData(), __FILE__, __LINE__);
    return true;
}
