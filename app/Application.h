#pragma once

#include <QApplication>

// The application object. An exception that escapes a command is shown to the user and ends
// the program with status 2, instead of unwinding through the toolkit's event dispatch.
class Application : public QApplication {
public:
    Application(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;
};
