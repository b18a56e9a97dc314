#pragma once

#include <QDialog>

#include "AddressSource.h"

#include <array>
#include <functional>
#include <initializer_list>

class QCheckBox;
class QGridLayout;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;

// Tools > Options: where the published address comes from, when an unattended run uploads,
// where visitors open the page and where the password is kept. The upload job's module fills
// and reads its controls; the dialog only dispatches.
class frmOptions : public QDialog {
    Q_OBJECT
public:
    explicit frmOptions(QWidget* parent = nullptr);

    // Index: local, local6, router, web, auto, as platform::AddressSource counts them.
    std::array<QRadioButton*, 5> optSource{};
    // What each source answered to Detect, and what that answer means; indexed like
    // platform::AddressSource, with NAT-PMP and STUN after the five choices. Auto's row tells
    // what the agreement rule makes of the answers.
    std::array<QLabel*, 7> lblAnswer{};
    std::array<QLabel*, 7> lblHint{};
    QCheckBox* chkTemporaryIPv6 = nullptr;
    QLineEdit* txtRouterURL = nullptr;
    QLineEdit* txtWebURL = nullptr;
    QLineEdit* txtStunServers = nullptr;
    QPushButton* cmdDetect = nullptr;

    QCheckBox* chkOnlyWhenChanged = nullptr;
    QSpinBox* updRefreshDays = nullptr;
    QLabel* lblLastPublished = nullptr;

    // Publishing on a schedule: made real, changed and removed at once, and shown as the
    // system reports it. Either every so many minutes, or as soon as the address changes with
    // a check every so many minutes as well.
    QCheckBox* chkSchedule = nullptr;
    QRadioButton* optScheduleTimer = nullptr;
    QSpinBox* updScheduleMinutes = nullptr;
    QRadioButton* optScheduleWatch = nullptr;
    QSpinBox* updWatchMinutes = nullptr;
    QLabel* lblSchedule = nullptr;
    // The crontab lines to copy where nothing of ours can run the schedule.
    QPlainTextEdit* txtCrontab = nullptr;
    QLabel* lblLinger = nullptr;
    QCheckBox* chkNoticeOnChange = nullptr;
    // An icon in the notification area that shows what the watcher does, from log-on.
    QCheckBox* chkTray = nullptr;

    // Where visitors open the page, and what a look there found.
    QLineEdit* txtPageURL = nullptr;
    QPushButton* cmdCheckPage = nullptr;
    QLabel* lblPageCheck = nullptr;
    // Where the password is kept, and where it is to be kept.
    QRadioButton* optPasswordKeyring = nullptr;
    QRadioButton* optPasswordFile = nullptr;
    QLabel* lblPasswordPlace = nullptr;

    QPushButton* cmdOK = nullptr;
    QPushButton* cmdCancel = nullptr;

    // Asked by OK: false keeps the dialog open. Unset, OK closes it.
    std::function<bool()> maySave;

signals:
    void detectRequested();
    // The schedule's box was ticked or cleared, its kind chosen, or its minutes changed.
    void scheduleChanged();
    // Check now: look at the page where visitors open it.
    void pageCheckRequested();
    // The notification area's box was ticked or cleared.
    void trayChanged();

public slots:
    void accept() override;

private:
    // The dialog's groups, each with its controls and what ties them together.
    QGroupBox* makeSources();
    QGroupBox* makeUnattended();
    QGroupBox* makeSchedule();
    QGroupBox* makePage();
    QGroupBox* makePassword();
    // A captioned field on its own row of the sources' grid, under the choice it belongs to.
    QLabel* addField(QGridLayout* grid, int row, const QString& caption, QWidget* field);
    // Keeps the widgets enabled while one of the sources that use them is chosen.
    void enableWith(std::initializer_list<platform::AddressSource> users,
                    std::initializer_list<QWidget*> widgets);
};
