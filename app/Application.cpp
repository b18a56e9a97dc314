#include "Application.h"

#include "AppInfo.h"
#include "modTallyhost.h"

#include <exception>
#include <utility>

Application::Application(int& argc, char** argv, QStringList commandArguments)
    : QApplication(argc, argv), m_commandArguments(std::move(commandArguments)) {
    setApplicationName(platform::App::title());
    setApplicationVersion(QStringLiteral("%1.%2.%3")
                              .arg(platform::App::Major)
                              .arg(platform::App::Minor)
                              .arg(platform::App::Revision));
}

bool Application::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        ReportUnexpectedError(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        ReportUnexpectedError(QStringLiteral("Unexpected error."));
    }
    return false;
}

QStringList Application::CommandArguments() {
    if (const auto* app = dynamic_cast<const Application*>(QCoreApplication::instance()))
        return app->m_commandArguments;
    return QCoreApplication::arguments().mid(1);
}
