#include "frmOptions.h"

#include "AddressSource.h"
#include "RoomLabel.h"
#include "Schedule.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <tuple>
#include <utility>
#include <vector>

using platform::AddressSource;

namespace {

// The room each answer's explanation takes, in average characters and lines.
constexpr int HintCharacters = 44;
constexpr int HintLines = 2;
// The room for what a look at the page found.
constexpr int PageCheckCharacters = 90;
constexpr int PageCheckLines = 3;

// One page of the dialog: its groups one above the other, the room left below them.
QWidget* pageOf(std::initializer_list<QGroupBox*> groups) {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    for (QGroupBox* group : groups)
        layout->addWidget(group);
    layout->addStretch();
    return page;
}

} // namespace

frmOptions::frmOptions(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Options"));
    setModal(true);

    // Made top to bottom, so that Tab goes through the controls as they are read.
    QGroupBox* sources = makeSources();
    QGroupBox* when = makeUnattended();
    // A group of its own, below the others, so that their rows stay as they are.
    QGroupBox* schedule = makeSchedule();
    QGroupBox* page = makePage();
    QGroupBox* password = makePassword();

    auto* buttons = new QDialogButtonBox(this);
    cmdOK = buttons->addButton(QDialogButtonBox::Ok);
    cmdCancel = buttons->addButton(QDialogButtonBox::Cancel);

    // On pages, so that the dialog fits a 1280 by 720 screen, and one at 150 %: all the groups
    // one above the other stood over a thousand pixels tall. Ctrl+Tab turns the pages.
    auto* pages = new QTabWidget(this);
    pages->addTab(pageOf({sources}), QStringLiteral("&Address"));
    pages->addTab(pageOf({when, schedule, page}), QStringLiteral("P&ublishing"));
    pages->addTab(pageOf({password}), QStringLiteral("Pass&word"));

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(pages);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(buttons, &QDialogButtonBox::accepted, this, &frmOptions::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

QGroupBox* frmOptions::makeSources() {
    auto* sources = new QGroupBox(QStringLiteral("Address to publish"), this);
    auto* grid = new QGridLayout(sources);
    const QString captions[] = {
        QStringLiteral("This machine (IPv4)"),
        QStringLiteral("This machine (global IPv6)"),
        QStringLiteral("The router (UPnP)"),
        QStringLiteral("A web service"),
        QStringLiteral("Ask several sources; publish only what they agree on"),
    };
    // Each source's answer to Detect sits on its own row, so that they read side by side.
    // Answers take a fixed room, so that the dialog keeps its size while they arrive.
    const int addressWidth =
        fontMetrics().horizontalAdvance(QStringLiteral("2001:db8:ffff:ffff:ffff:ffff:ffff:ffff "));
    const auto addAnswer = [&](size_t i, QWidget* caption, int row, int lines) {
        lblAnswer[i] = new QLabel(sources);
        lblAnswer[i]->setTextInteractionFlags(Qt::TextSelectableByMouse);
        lblAnswer[i]->setFixedWidth(addressWidth);
        lblHint[i] = new RoomLabel(HintCharacters, lines, sources);
        // The first line of the answer and of its explanation level with the caption.
        const int captionTop = (caption->sizeHint().height() - caption->fontMetrics().height()) / 2;
        lblAnswer[i]->setContentsMargins(0, captionTop, 0, 0);
        lblHint[i]->setContentsMargins(0, captionTop, 0, 0);
        grid->addWidget(caption, row, 0, Qt::AlignTop);
        grid->addWidget(lblAnswer[i], row, 1, Qt::AlignTop);
        grid->addWidget(lblHint[i], row, 2, Qt::AlignTop);
    };
    const int rows[] = {0, 1, 3, 6, 10};
    for (size_t i = 0; i < optSource.size(); ++i) {
        optSource[i] = new QRadioButton(captions[i], sources);
        // The last choice's answer is what the rule makes of all the others.
        addAnswer(i, optSource[i], rows[i], i == size_t(AddressSource::Auto) ? 5 : HintLines);
    }
    chkTemporaryIPv6 = new QCheckBox(
        QStringLiteral("Publish the temporary (privacy) IPv6 address instead"), sources);
    grid->addWidget(chkTemporaryIPv6, 2, 1, 1, -1);
    enableWith({AddressSource::Local, AddressSource::Local6, AddressSource::Auto},
               {chkTemporaryIPv6});
    // The router's second protocol and the STUN servers are asked by the last choice only,
    // and by Detect.
    auto* natpmp = new QLabel(QStringLiteral("The router (NAT-PMP)"), sources);
    natpmp->setIndent(fontMetrics().averageCharWidth() * 3);
    addAnswer(size_t(AddressSource::NatPmp), natpmp, 4, HintLines);
    txtRouterURL = new QLineEdit(sources);
    txtRouterURL->setPlaceholderText(QStringLiteral("empty: search the local network"));
    QLabel* routerCaption = addField(grid, 5, QStringLiteral("Description URL"), txtRouterURL);
    enableWith({AddressSource::Router, AddressSource::Auto}, {routerCaption, txtRouterURL});
    txtWebURL = new QLineEdit(sources);
    txtWebURL->setPlaceholderText(QStringLiteral("empty: %1; several agree: %2")
                                      .arg(QString::fromLatin1(platform::DefaultWebURL),
                                           QString::fromLatin1(platform::DefaultWebURLs)));
    QLabel* webCaption = addField(grid, 7, QStringLiteral("Web addresses"), txtWebURL);
    enableWith({AddressSource::Web, AddressSource::Auto}, {webCaption, txtWebURL});
    auto* stun = new QLabel(QStringLiteral("STUN servers"), sources);
    stun->setIndent(fontMetrics().averageCharWidth() * 3);
    addAnswer(size_t(AddressSource::Stun), stun, 8, HintLines);
    txtStunServers = new QLineEdit(sources);
    txtStunServers->setPlaceholderText(QString::fromLatin1(platform::DefaultStunServers));
    QLabel* stunCaption = addField(grid, 9, QStringLiteral("host:port"), txtStunServers);
    enableWith({AddressSource::Auto}, {stunCaption, txtStunServers});
    cmdDetect = new QPushButton(QStringLiteral("Detect"), sources);
    cmdDetect->setAutoDefault(false);
    grid->addWidget(cmdDetect, 11, 0, Qt::AlignLeft);
    grid->setColumnStretch(2, 1);
    connect(cmdDetect, &QPushButton::clicked, this, &frmOptions::detectRequested);
    return sources;
}

QGroupBox* frmOptions::makeUnattended() {
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
    connect(chkOnlyWhenChanged, &QCheckBox::toggled, updRefreshDays, &QWidget::setEnabled);
    return when;
}

QGroupBox* frmOptions::makeSchedule() {
    auto* schedule = new QGroupBox(QStringLiteral("Publishing on a schedule"), this);
    auto* scheduleLayout = new QVBoxLayout(schedule);
    chkSchedule = new QCheckBox(QStringLiteral("Publish automatically"), schedule);
    scheduleLayout->addWidget(chkSchedule);
    // The two kinds, indented under the box; each has its own minutes, enabled while it is
    // chosen.
    const auto addChoice = [&](const QString& caption, const QString& after) {
        auto* row = new QHBoxLayout;
        row->addSpacing(fontMetrics().averageCharWidth() * 3);
        auto* choice = new QRadioButton(caption, schedule);
        row->addWidget(choice);
        auto* minutes = new QSpinBox(schedule);
        minutes->setRange(platform::Schedule::MinMinutes, platform::Schedule::MaxMinutes);
        minutes->setValue(platform::Schedule::OfferedMinutes);
        // Each change is made real on the system: not at every digit typed.
        minutes->setKeyboardTracking(false);
        row->addWidget(minutes);
        row->addWidget(new QLabel(after, schedule));
        row->addStretch(1);
        scheduleLayout->addLayout(row);
        connect(choice, &QRadioButton::toggled, minutes, &QWidget::setEnabled);
        connect(minutes, &QSpinBox::valueChanged, this, &frmOptions::scheduleChanged);
        return std::pair{choice, minutes};
    };
    std::tie(optScheduleTimer, updScheduleMinutes) =
        addChoice(QStringLiteral("every"), QStringLiteral("minutes"));
    std::tie(optScheduleWatch, updWatchMinutes) =
        addChoice(QStringLiteral("as soon as the address changes, checking every"),
                  QStringLiteral("minutes as well"));
    optScheduleTimer->setChecked(true);
    updWatchMinutes->setEnabled(false);
    lblSchedule = new QLabel(schedule);
    lblSchedule->setWordWrap(true);
    lblSchedule->setTextInteractionFlags(Qt::TextSelectableByMouse);
    scheduleLayout->addWidget(lblSchedule);
    txtCrontab = new QPlainTextEdit(schedule);
    txtCrontab->setReadOnly(true);
    txtCrontab->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtCrontab->setFixedHeight(fontMetrics().lineSpacing() * 4);
    txtCrontab->hide();
    scheduleLayout->addWidget(txtCrontab);
    lblLinger = new QLabel(QStringLiteral("To keep publishing while you are logged out, run once: "
                                          "loginctl enable-linger"),
                           schedule);
    lblLinger->setWordWrap(true);
    lblLinger->setTextInteractionFlags(Qt::TextSelectableByMouse);
#if defined(Q_OS_WIN)
    lblLinger->hide();
#endif
    scheduleLayout->addWidget(lblLinger);
    chkNoticeOnChange =
        new QCheckBox(QStringLiteral("Notify me when the published address changes"), schedule);
    scheduleLayout->addWidget(chkNoticeOnChange);
    chkTray = new QCheckBox(QStringLiteral("Show in the notification area"), schedule);
    scheduleLayout->addWidget(chkTray);
    connect(chkSchedule, &QCheckBox::toggled, this, &frmOptions::scheduleChanged);
    // Choosing one kind clears the other: one signal for both.
    connect(optScheduleWatch, &QRadioButton::toggled, this, &frmOptions::scheduleChanged);
    connect(chkTray, &QCheckBox::toggled, this, &frmOptions::trayChanged);
    return schedule;
}

QGroupBox* frmOptions::makePage() {
    auto* page = new QGroupBox(QStringLiteral("The page on the web"), this);
    auto* grid = new QGridLayout(page);
    txtPageURL = new QLineEdit(page);
    txtPageURL->setPlaceholderText(QStringLiteral("such as https://example.org/ip.htm; empty: "
                                                  "not looked at"));
    auto* caption = new QLabel(QStringLiteral("Where visitors open it"), page);
    caption->setBuddy(txtPageURL);
    cmdCheckPage = new QPushButton(QStringLiteral("Check now"), page);
    cmdCheckPage->setAutoDefault(false);
    grid->addWidget(caption, 0, 0);
    grid->addWidget(txtPageURL, 0, 1);
    grid->addWidget(cmdCheckPage, 0, 2);
    // What a look found, in a room of its own: the dialog keeps its size when it arrives.
    lblPageCheck = new RoomLabel(PageCheckCharacters, PageCheckLines, page);
    lblPageCheck->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lblPageCheck->setText(QStringLiteral("After every upload the page is looked at there, as "
                                         "visitors see it."));
    grid->addWidget(lblPageCheck, 1, 0, 1, -1);
    grid->setColumnStretch(1, 1);
    connect(cmdCheckPage, &QPushButton::clicked, this, &frmOptions::pageCheckRequested);
    return page;
}

QGroupBox* frmOptions::makePassword() {
    auto* password = new QGroupBox(QStringLiteral("Password"), this);
    auto* passwordLayout = new QVBoxLayout(password);
    optPasswordKeyring =
        new QRadioButton(QStringLiteral("Keep the password in the desktop keyring"), password);
    optPasswordFile = new QRadioButton(
        QStringLiteral("Keep the password in the settings file, readable by you only"), password);
    lblPasswordPlace = new QLabel(password);
    lblPasswordPlace->setWordWrap(true);
    lblPasswordPlace->setTextInteractionFlags(Qt::TextSelectableByMouse);
    passwordLayout->addWidget(optPasswordKeyring);
    passwordLayout->addWidget(optPasswordFile);
    passwordLayout->addWidget(lblPasswordPlace);
    return password;
}

QLabel* frmOptions::addField(QGridLayout* grid, int row, const QString& caption, QWidget* field) {
    // Indented under the choice it belongs to; every field starts where the answers do.
    auto* label = new QLabel(caption, field->parentWidget());
    label->setBuddy(field);
    label->setIndent(fontMetrics().averageCharWidth() * 3);
    grid->addWidget(label, row, 0);
    grid->addWidget(field, row, 1, 1, -1);
    return label;
}

void frmOptions::enableWith(std::initializer_list<AddressSource> users,
                            std::initializer_list<QWidget*> widgets) {
    const std::vector<QRadioButton*> choices = [&] {
        std::vector<QRadioButton*> chosen;
        for (AddressSource source : users)
            chosen.push_back(optSource[size_t(source)]);
        return chosen;
    }();
    const std::vector<QWidget*> targets(widgets);
    const auto update = [choices, targets] {
        const bool used = std::any_of(choices.begin(), choices.end(),
                                      [](const QRadioButton* b) { return b->isChecked(); });
        for (QWidget* widget : targets)
            widget->setEnabled(used);
    };
    for (QRadioButton* choice : optSource)
        connect(choice, &QRadioButton::toggled, this, update);
    update();
}

void frmOptions::accept() {
    if (!maySave || maySave())
        QDialog::accept();
}
