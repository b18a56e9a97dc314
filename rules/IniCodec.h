#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QMap>
#include <QString>

// The settings file's text: sections, keys and their values, read and edited as bytes.
//
// Without a window the file is the only way to set the program up, so it is read for people
// as well as for the program: each "Key=value" line stands on its own, and the value is
// everything after the first "=" up to the end of that line (a CR before the line feed does
// not count). It is taken exactly as it stands, commas, semicolons, backslashes, quotes and
// spaces included, unless it is exactly what the program itself writes for some text -- the
// toolkit's INI escaping: "\\" and "\"" for a backslash and a quote, "\t", "\n", "\r", "\0",
// "\xNN" and the like for control characters (and, as older writers did, for any character
// beyond ASCII), a leading "@" doubled, "@String(...)" around text holding a NUL, and double
// quotes around the whole value when it holds "," ";" "=" or starts or ends with a space.
// Such a value is decoded as the toolkit decodes it, so every file the program wrote still
// loads as it did; double quotes around the whole value are accepted even where the program
// would not need them. The price is that a hand-written value that happens to be such a form
// is decoded too: C:\temp holds a tab, "secret" loses its quotes, a\\b has one backslash,
// @@x reads @x. Writing the backslash doubled (C:\\temp) or quoting the quotes (\"secret\")
// keeps them.
//
// Lines starting with ";" are comments; blank lines and lines without "=" are passed over.
// Keys outside every section, and those under [General], have no section.
namespace platform::ini {

// Each value by its path: "Section/Key", or the key alone outside every section.
using Values = QMap<QString, QString>;

// The values the file's text holds. A key written twice counts where it stands last.
Values Read(QByteArrayView text);

// The text with the values in it, only what changed written anew: a changed value replaces
// what stood after its "=", a key no longer among the values loses its line, and a new key
// goes after the last key of its section (a new section at the end, after an empty line).
// Comments, blank lines, the order of the lines, the way keys are spelled, the line breaks and
// values that stay the same are kept as they were written. What is written takes the
// toolkit's form, so that older builds read the values as this one does.
QByteArray Edited(const QByteArray& text, const Values& values);

// The text that what stands after "Key=" means.
QString DecodeValue(QByteArrayView written);

// What the program writes after "Key=" for the text.
QByteArray EncodeValue(const QString& value);

} // namespace platform::ini
