#include "Shell.h"

#include <QtGlobal>

#ifdef Q_OS_WIN
#include <windows.h>

#include <shellapi.h>
#else
#include <QDesktopServices>
#endif

#include <utility>

namespace platform::shell {

namespace {

Handler& handlerSlot() {
    static Handler handler;
    return handler;
}

void systemExecute(const QString& operation, const QString& file, const QString& parameters,
                   const QString& directory, int showCommand) {
#ifdef Q_OS_WIN
    // In UTF-16, so that a name outside the system's code page arrives whole; an empty text is
    // no text, which gives the default verb and the current folder.
    const auto wide = [](const QString& text) {
        return text.isEmpty() ? nullptr : reinterpret_cast<LPCWSTR>(text.utf16());
    };
    ShellExecuteW(GetDesktopWindow(), wide(operation), wide(file), wide(parameters),
                  wide(directory), showCommand);
#else
    // Only opening has a counterpart here; parameters, directory and window style have none.
    Q_UNUSED(parameters)
    Q_UNUSED(directory)
    Q_UNUSED(showCommand)
    if (!operation.isEmpty() && operation.compare(QLatin1String("open"), Qt::CaseInsensitive) != 0)
        return;
    const QUrl address = AddressOf(file);
    if (address.isValid())
        QDesktopServices::openUrl(address);
#endif
}

} // namespace

void Execute(const QString& operation, const QString& file, const QString& parameters,
             const QString& directory, int showCommand) {
    if (handlerSlot())
        handlerSlot()(operation, file, parameters, directory, showCommand);
    else
        systemExecute(operation, file, parameters, directory, showCommand);
}

Handler SetHandler(Handler handler) {
    return std::exchange(handlerSlot(), std::move(handler));
}

QUrl AddressOf(const QString& file) {
    QString text = file.trimmed();
    text.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return QUrl::fromUserInput(text);
}

} // namespace platform::shell
