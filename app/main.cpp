#include "Application.h"
#include "CommandLine.h"
#include "MsgBox.h"
#include "frmTallyhost.h"
#include "modTallyhost.h"

#include <exception>
#include <optional>

int main(int argc, char* argv[]) {
    if (const std::optional<int> answered = AnswerInformationOptions(argc, argv))
        return *answered;
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
