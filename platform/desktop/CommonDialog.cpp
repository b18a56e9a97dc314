#include "CommonDialog.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

namespace platform {

CommonDialog::CommonDialog() = default;

QString CommonDialog::ask(QWidget* owner) const {
    // The working folder, the dialog's own choice, means nothing to someone who started the
    // program from a menu.
    const QString folder =
        !m_initDir.isEmpty() && QFileInfo(m_initDir).isDir() ? m_initDir : QDir::homePath();
    return QDir::toNativeSeparators(QFileDialog::getOpenFileName(owner, m_title, folder, m_filter));
}

void CommonDialog::ShowOpen(QWidget* owner) {
    const QString chosen = m_chooser ? m_chooser(owner) : ask(owner);
    if (!chosen.isEmpty())
        m_fileName = chosen;
}

} // namespace platform
