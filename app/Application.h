#pragma once

#include <QApplication>
#include <QStringList>

// The application object. An exception that escapes a command is shown to the user and ends
// the program with status 2, instead of unwinding through the toolkit's event dispatch.
class Application : public QApplication {
public:
    // commandArguments: the arguments as the program got them, without its path.
    Application(int& argc, char** argv, QStringList commandArguments);

    bool notify(QObject* receiver, QEvent* event) override;

    // The arguments the program was started with, without its path, including any that the
    // toolkit took for itself (-style, -platform, ...). Without an Application, what the
    // toolkit left.
    static QStringList CommandArguments();

private:
    QStringList m_commandArguments;
};
