#include "modShell.h"

#include "Shell.h"

void ShellDocument(const QString& operation, const QVariant& file, const QVariant& parameters,
                   const QVariant& directory) {
    platform::shell::Execute(operation, file.toString(), parameters.toString(),
                             directory.toString(), platform::shell::ShowNormal);
}
