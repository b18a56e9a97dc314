#include "frmHistory.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

frmHistory::frmHistory(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("History"));
    setModal(true);

    lstHistory = new QTreeWidget(this);
    lstHistory->setHeaderLabels({QStringLiteral("When"), QStringLiteral("Started by"),
                                 QStringLiteral("Result"), QStringLiteral("Address"),
                                 QStringLiteral("Source"), QStringLiteral("Where"),
                                 QStringLiteral("Message")});
    lstHistory->setRootIsDecorated(false);
    lstHistory->setUniformRowHeights(true);
    lstHistory->setAlternatingRowColors(true);
    lstHistory->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lstHistory->header()->setStretchLastSection(true);
    lstHistory->setMinimumSize(fontMetrics().averageCharWidth() * 130, fontMetrics().height() * 16);

    // The message of the row at hand in full, however long: the column cuts it at its edge.
    lblDetails = new QLabel(this);
    lblDetails->setWordWrap(true);
    lblDetails->setTextFormat(Qt::PlainText);
    lblDetails->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    connect(lstHistory, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        lblDetails->setText(item ? item->text(lstHistory->columnCount() - 1) : QString());
    });

    lblEmpty = new QLabel(QStringLiteral("Nothing has been published yet."), this);
    lblPath = new QLabel(this);
    lblPath->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* buttons = new QDialogButtonBox(this);
    cmdClose = buttons->addButton(QDialogButtonBox::Close);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lstHistory, 1);
    layout->addWidget(lblDetails);
    layout->addWidget(lblEmpty);
    layout->addWidget(lblPath);
    layout->addWidget(buttons);

    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}
