#include "Application.h"
#include "MsgBox.h"
#include "frmTallyhost.h"
#include "modTallyhost.h"

#include <QStringList>

#include <exception>

int main(int argc, char* argv[]) {
    // The toolkit takes the options it knows out of argv ("-style /A" would take the switch
    // with it), so the command line is read before it gets the chance.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    platform::PrepareWindowSystem(arguments,
                                  HasUnattendedSwitch(CommandLineText(arguments.mid(1))));
    Application app(argc, argv, arguments.mid(1));
    platform::WindowSystemStarted();
    try {
        Main();
    } catch (const std::exception& e) {
        ReportUnexpectedError(QString::fromLocal8Bit(e.what()));
        return 2;
    }
    const int status = app.exec();
    // Closed from its frame: nothing is saved, but the FTP connection is still closed properly.
    if (MainFormLoaded())
        delete &MainForm();
    return status;
}
