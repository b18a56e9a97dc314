#pragma once

#include <QString>

#include <functional>

class QWidget;

namespace platform {

// The open-file dialog. It keeps FileName between showings and never clears it, so a
// cancelled showing leaves the file chosen last in FileName.
class CommonDialog {
public:
    // What a showing asks the user; answers "" when cancelled. Tests put their own here.
    using Chooser = std::function<QString(QWidget* owner)>;

    CommonDialog();

    void ShowOpen(QWidget* owner);
    QString FileName() const { return m_fileName; }

    void setChooser(Chooser chooser) { m_chooser = std::move(chooser); }

private:
    Chooser m_chooser;
    QString m_fileName;
};

} // namespace platform
