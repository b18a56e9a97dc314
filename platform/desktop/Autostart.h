#pragma once

#include <QString>
#include <QStringList>

namespace platform {

// A command of ours that the desktop starts when the user logs in: a desktop entry in
// ${XDG_CONFIG_HOME:-~/.config}/autostart/ on Linux, named after the program's own desktop
// entry; a value under HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Run on
// Windows.
class AutostartEntry {
public:
    // name: what tells this entry from other ones of ours ("tray").
    explicit AutostartEntry(QString name);

    bool Exists() const;
    // From the next log-on on, the desktop starts program with these arguments; caption is
    // what the desktop's list of programs started at log-on shows. False, with LastError(),
    // when the entry could not be written.
    bool Set(const QString& caption, const QString& program, const QStringList& arguments);
    // True when there is no entry afterwards.
    bool Remove();
    QString LastError() const { return m_error; }

    // The entry's file, to watch for its going; empty on Windows.
    QString Path() const;

private:
    QString m_name;
    QString m_error;
};

} // namespace platform
