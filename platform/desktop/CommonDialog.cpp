#include "CommonDialog.h"

#include <QDir>
#include <QFileDialog>

namespace platform {

CommonDialog::CommonDialog()
    : m_chooser([](QWidget* owner) {
          return QDir::toNativeSeparators(QFileDialog::getOpenFileName(owner));
      }) {}

void CommonDialog::ShowOpen(QWidget* owner) {
    const QString chosen = m_chooser(owner);
    if (!chosen.isEmpty())
        m_fileName = chosen;
}

} // namespace platform
