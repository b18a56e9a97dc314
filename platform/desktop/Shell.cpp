#include "Shell.h"

#include <QtGlobal>

#ifdef Q_OS_WIN
#include <shellapi.h>
#include <windows.h>
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
    const QByteArray op = operation.toLocal8Bit();
    const QByteArray f = file.toLocal8Bit();
    const QByteArray p = parameters.toLocal8Bit();
    const QByteArray d = directory.toLocal8Bit();
    ShellExecuteA(GetDesktopWindow(), op.constData(), f.constData(), p.constData(), d.constData(),
                  showCommand);
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
