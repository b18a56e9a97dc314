#pragma once

#include <QDialog>

class QLabel;
class QPushButton;
class QTreeWidget;

// Tools > History...: every publish attempt kept, newest first. The upload job's module fills
// it; the dialog only shows it.
class frmHistory : public QDialog {
    Q_OBJECT
public:
    explicit frmHistory(QWidget* parent = nullptr);

    // Columns: when, how it started, result, address, source, where, message.
    QTreeWidget* lstHistory = nullptr;
    // The whole message of the current row.
    QLabel* lblDetails = nullptr;
    QLabel* lblEmpty = nullptr;
    QLabel* lblPath = nullptr;
    QPushButton* cmdClose = nullptr;
};
