#include "Application.h"
#include "MsgBox.h"
#include "frmTallyhost.h"
#include "modTallyhost.h"

#include <exception>

int main(int argc, char* argv[]) {
    platform::PrepareWindowSystem();
    Application app(argc, argv);
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
