#pragma once

#include <QString>
#include <QVariant>

// Opens a document or address with the program the system associates with it. file,
// parameters and directory may be text or numbers; a number goes to the shell as its decimal
// text. The shell's answer is ignored: nothing is raised and nothing is shown.
void ShellDocument(const QString& operation, const QVariant& file, const QVariant& parameters,
                   const QVariant& directory);
