#pragma once

#include <QString>

#include <functional>

class QWidget;

namespace platform {

// The open-file dialog. It keeps FileName between showings and never clears it, so a
// cancelled showing leaves the file chosen last in FileName. The title, the file types offered
// and the starting folder are set before a showing and kept for the next.
class CommonDialog {
public:
    // What a showing asks the user; answers "" when cancelled. Tests put their own here.
    using Chooser = std::function<QString(QWidget* owner)>;

    CommonDialog();

    void ShowOpen(QWidget* owner);
    QString FileName() const { return m_fileName; }

    // The dialog's title; empty: the platform's own.
    void setDialogTitle(const QString& title) { m_title = title; }
    QString DialogTitle() const { return m_title; }
    // File types as "Name (*.a *.b)", several joined by ";;"; the first is chosen at first.
    // Empty: every file.
    void setFilter(const QString& filter) { m_filter = filter; }
    QString Filter() const { return m_filter; }
    // The folder the dialog opens in. One that is not there, or none, opens the home folder.
    void setInitDir(const QString& folder) { m_initDir = folder; }
    QString InitDir() const { return m_initDir; }

    void setChooser(Chooser chooser) { m_chooser = std::move(chooser); }

private:
    QString ask(QWidget* owner) const;

    Chooser m_chooser;
    QString m_fileName;
    QString m_title;
    QString m_filter;
    QString m_initDir;
};

} // namespace platform
