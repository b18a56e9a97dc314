#include "Application.h"
#include "MsgBox.h"
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
    return app.exec();
}
