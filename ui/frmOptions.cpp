#include "frmOptions.h"

#include "AddressSource.h"
#include "modAddress.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>

frmOptions::frmOptions(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Options"));
    setModal(true);

    auto* sources = new QGroupBox(QStringLiteral("Address to publish"), this);
    auto* grid = new QGridLayout(sources);
    const QString captions[] = {
        QStringLiteral("This machine (IPv4)"),
        QStringLiteral("This machine (global IPv6)"),
        QStringLiteral("The router (UPnP)"),
        QStringLiteral("A web service"),
    };
    // Each source's answer to Detect sits on its own row, so that they read side by side.
    const int rows[] = {0, 1, 2, 4};
    for (size_t i = 0; i < optSource.size(); ++i) {
        optSource[i] = new QRadioButton(captions[i], sources);
        lblAnswer[i] = new QLabel(sources);
        lblAnswer[i]->setTextInteractionFlags(Qt::TextSelectableByMouse);
        lblAnswer[i]->setMinimumWidth(fontMetrics().horizontalAdvance(
            QStringLiteral("2001:db8:ffff:ffff:ffff:ffff:ffff:ffff")));
        lblHint[i] = new QLabel(sources);
        lblHint[i]->setWordWrap(true);
        lblHint[i]->setMinimumWidth(fontMetrics().averageCharWidth() * 40);
        grid->addWidget(optSource[i], rows[i], 0);
        grid->addWidget(lblAnswer[i], rows[i], 1);
        grid->addWidget(lblHint[i], rows[i], 2);
    }
    auto* routerRow = new QHBoxLayout;
    routerRow->addSpacing(fontMetrics().averageCharWidth() * 3);
    routerRow->addWidget(new QLabel(QStringLiteral("Description URL"), sources));
    txtRouterURL = new QLineEdit(sources);
    txtRouterURL->setPlaceholderText(QStringLiteral("empty: search the local network"));
    routerRow->addWidget(txtRouterURL, 1);
    grid->addLayout(routerRow, 3, 0, 1, 3);
    auto* webRow = new QHBoxLayout;
    webRow->addSpacing(fontMetrics().averageCharWidth() * 3);
    webRow->addWidget(new QLabel(QStringLiteral("Web address"), sources));
    txtWebURL = new QLineEdit(sources);
    txtWebURL->setPlaceholderText(QString::fromLatin1(platform::DefaultWebURL));
    webRow->addWidget(txtWebURL, 1);
    grid->addLayout(webRow, 5, 0, 1, 3);
    cmdDetect = new QPushButton(QStringLiteral("Detect"), sources);
    cmdDetect->setAutoDefault(false);
    grid->addWidget(cmdDetect, 6, 0, Qt::AlignLeft);
    grid->setColumnStretch(2, 1);

    auto* when = new QGroupBox(QStringLiteral("Unattended uploads"), this);
    auto* whenLayout = new QVBoxLayout(when);
    chkOnlyWhenChanged = new QCheckBox(QStringLiteral("Upload only when the address has changed"));
    whenLayout->addWidget(chkOnlyWhenChanged);
    auto* daysRow = new QHBoxLayout;
    daysRow->addSpacing(fontMetrics().averageCharWidth() * 3);
    daysRow->addWidget(new QLabel(QStringLiteral("but at least every"), when));
    updRefreshDays = new QSpinBox(when);
    updRefreshDays->setRange(1, 3650);
    daysRow->addWidget(updRefreshDays);
    daysRow->addWidget(new QLabel(QStringLiteral("days"), when));
    daysRow->addStretch(1);
    whenLayout->addLayout(daysRow);
    lblLastPublished = new QLabel(when);
    lblLastPublished->setTextInteractionFlags(Qt::TextSelectableByMouse);
    whenLayout->addWidget(lblLastPublished);

    auto* buttons = new QDialogButtonBox(this);
    cmdOK = buttons->addButton(QDialogButtonBox::Ok);
    cmdCancel = buttons->addButton(QDialogButtonBox::Cancel);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(sources);
    layout->addWidget(when);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(cmdDetect, &QPushButton::clicked, this, [this] { DetectAddresses(*this); });
    connect(chkOnlyWhenChanged, &QCheckBox::toggled, updRefreshDays, &QWidget::setEnabled);
    connect(buttons, &QDialogButtonBox::accepted, this, &frmOptions::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void frmOptions::accept() {
    if (SaveOptions(*this))
        QDialog::accept();
}
