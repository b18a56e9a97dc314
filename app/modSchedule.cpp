#include "modSchedule.h"

#include "AppInfo.h"
#include "MsgBox.h"
#include "Schedule.h"
#include "ScheduleTurn.h"
#include "frmOptions.h"
#include "modNotice.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLocale>
#include <QPlainTextEdit>
#include <QSignalBlocker>
#include <QSpinBox>

#include <cstdio>
#include <string_view>

namespace {

platform::Schedule programSchedule() {
    return platform::Schedule(QCoreApplication::applicationFilePath());
}

QString nextRunText(const platform::ScheduleState& state) {
    if (!state.nextRun.isValid())
        return QStringLiteral("the system has not planned the next run yet");
    return QStringLiteral("next run at ") +
           QLocale().toString(state.nextRun.toLocalTime(), QLocale::ShortFormat);
}

// The state in words, as the dialog and the command line say it.
QString stateText(const platform::ScheduleState& state) {
    switch (state.kind) {
    case platform::ScheduleState::Kind::On:
        return QStringLiteral("On: publishing every %1 minutes, %2.")
            .arg(state.minutes)
            .arg(nextRunText(state));
    case platform::ScheduleState::Kind::Off:
        return QStringLiteral("Off: the page is published only when you upload it.");
    case platform::ScheduleState::Kind::Unavailable:
        break;
    }
    return QStringLiteral("Not available: ") + state.reason + QLatin1Char('.');
}

void write(std::FILE* stream, const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

std::optional<QString> ScheduleArgument(int argc, const char* const* argv) {
    constexpr std::string_view option = "--schedule";
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument(argv[i]);
        if (argument == option)
            return i + 1 < argc ? QString::fromLocal8Bit(argv[i + 1]) : QString();
        if (argument.starts_with(option) && argument.size() > option.size() &&
            argument[option.size()] == '=')
            return QString::fromLocal8Bit(argv[i] + option.size() + 1);
    }
    return std::nullopt;
}

int ScheduleFromCommandLine(const QString& value) {
    // Several runs at once end with the schedule the last one asked for.
    platform::ScheduleTurn turn;
    const QString prefix = platform::App::title() + QStringLiteral(": ");
    platform::Schedule schedule = programSchedule();
    if (value.compare(QLatin1String("off"), Qt::CaseInsensitive) == 0) {
        const bool mine = turn.Take();
        if (!mine || !schedule.Remove()) {
            write(stderr, prefix + QStringLiteral("Unable to remove the schedule: ") +
                              (mine ? schedule.LastError() : turn.Problem()) +
                              QStringLiteral(".\n"));
            return 1;
        }
        write(stdout, QStringLiteral("Publishing on a schedule is off.\n"));
        return 0;
    }
    bool number = false;
    const int minutes = value.trimmed().toInt(&number);
    if (!number || minutes < platform::Schedule::MinMinutes ||
        minutes > platform::Schedule::MaxMinutes) {
        write(stderr,
              prefix + QStringLiteral("--schedule takes a number of minutes from %1 to %2, or "
                                      "off (not \"%3\").\n")
                           .arg(platform::Schedule::MinMinutes)
                           .arg(platform::Schedule::MaxMinutes)
                           .arg(value));
        return 1;
    }
    if (!turn.Take()) {
        write(stderr, prefix + QStringLiteral("Unable to publish on a schedule: ") +
                          turn.Problem() + QStringLiteral(".\n"));
        return 1;
    }
    if (!schedule.Set(minutes)) {
        // Where nothing of ours can run the schedule, cron can, if there is one.
        const QString crontab = schedule.CrontabLines(minutes);
        if (schedule.State().kind == platform::ScheduleState::Kind::Unavailable &&
            !crontab.isEmpty()) {
            write(stderr, prefix + QStringLiteral("Unable to publish on a schedule: ") +
                              schedule.LastError() +
                              QStringLiteral("; to publish from cron instead, add the lines "
                                             "below with crontab -e.\n"));
            write(stdout, crontab);
        } else {
            write(stderr, prefix + QStringLiteral("Unable to publish on a schedule: ") +
                              schedule.LastError() + QStringLiteral(".\n"));
        }
        return 1;
    }
    write(stdout, stateText(schedule.State()) + QLatin1Char('\n'));
    return 0;
}

QString ScheduleStatus() {
    return stateText(platform::ReadSchedule());
}

namespace {

// The controls as the system reports the schedule now.
void showSchedule(frmOptions& dialog, const platform::ScheduleState& state) {
    const QSignalBlocker checkbox(dialog.chkSchedule);
    const QSignalBlocker minutes(dialog.updScheduleMinutes);
    const bool available = state.kind != platform::ScheduleState::Kind::Unavailable;
    dialog.chkSchedule->setEnabled(available);
    dialog.chkSchedule->setChecked(state.kind == platform::ScheduleState::Kind::On);
    if (state.kind == platform::ScheduleState::Kind::On)
        dialog.updScheduleMinutes->setValue(state.minutes);
    dialog.lblLinger->setEnabled(available);
    // Cron can run the program where nothing of ours can, if there is one.
    const QString crontab =
        available ? QString() : programSchedule().CrontabLines(dialog.updScheduleMinutes->value());
    if (crontab.isEmpty()) {
        dialog.lblSchedule->setText(stateText(state));
        dialog.txtCrontab->hide();
        return;
    }
    dialog.lblSchedule->setText(
        stateText(state) +
        QStringLiteral(" To publish from cron instead, add these lines with crontab -e:"));
    dialog.txtCrontab->setPlainText(crontab);
    dialog.txtCrontab->show();
}

} // namespace

void LoadSchedule(frmOptions& dialog) {
    dialog.chkNoticeOnChange->setChecked(NoticeOnAddressChange());
    showSchedule(dialog, platform::ReadSchedule());
    QObject::connect(&dialog, &frmOptions::scheduleChanged, &dialog,
                     [&dialog] { ApplySchedule(dialog); });
}

bool SaveNoticeOptions(frmOptions& dialog) {
    return SetNoticeOnAddressChange(dialog.chkNoticeOnChange->isChecked());
}

void ApplySchedule(frmOptions& dialog) {
    platform::Schedule schedule = programSchedule();
    const bool on = dialog.chkSchedule->isChecked();
    // Without a system to run it, the minutes only change the crontab lines offered.
    if (!dialog.chkSchedule->isEnabled()) {
        showSchedule(dialog, schedule.State());
        return;
    }
    const bool done = on ? schedule.Set(dialog.updScheduleMinutes->value()) : schedule.Remove();
    showSchedule(dialog, schedule.State());
    if (!done)
        platform::MsgBox((on ? QStringLiteral("Unable to publish on a schedule: ")
                             : QStringLiteral("Unable to remove the schedule: ")) +
                             schedule.LastError() + QLatin1Char('.'),
                         platform::MsgIcon::Critical);
}
