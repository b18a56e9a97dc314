#include "modSchedule.h"

#include "AppInfo.h"
#include "MsgBox.h"
#include "Schedule.h"
#include "ScheduleTurn.h"
#include "frmOptions.h"
#include "modNotice.h"
#include "modTray.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLocale>
#include <QPlainTextEdit>
#include <QRadioButton>
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
        if (state.how == platform::ScheduleKind::Watcher)
            return QStringLiteral("On: publishing as soon as the address changes, checking "
                                  "every %1 minutes as well")
                       .arg(state.minutes) +
                   (state.reason.isEmpty() ? QString() : QStringLiteral("; but ") + state.reason) +
                   QLatin1Char('.');
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
        QString value;
        if (argument == option) {
            if (++i >= argc)
                return QString();
            value = QString::fromLocal8Bit(argv[i]);
        } else if (argument.starts_with(option) && argument.size() > option.size() &&
                   argument[option.size()] == '=') {
            value = QString::fromLocal8Bit(argv[i] + option.size() + 1);
        } else {
            continue;
        }
        // "changes" may be followed by the minutes between the watcher's checks.
        if (value.compare(QLatin1String("changes"), Qt::CaseInsensitive) == 0 && i + 1 < argc &&
            !std::string_view(argv[i + 1]).starts_with('-') &&
            !std::string_view(argv[i + 1]).starts_with('/'))
            value += QLatin1Char(' ') + QString::fromLocal8Bit(argv[i + 1]);
        return value;
    }
    return std::nullopt;
}

namespace {

// Where nothing of ours can run the schedule, cron can, if there is one: the reason why not,
// the lines to add on standard output.
int refused(platform::Schedule& schedule, int minutes, platform::ScheduleKind kind) {
    const QString prefix = platform::App::title() + QStringLiteral(": ");
    const bool watcher = kind == platform::ScheduleKind::Watcher;
    const QString unable = watcher ? QStringLiteral("Unable to publish when the address changes: ")
                                   : QStringLiteral("Unable to publish on a schedule: ");
    const QString crontab = schedule.CrontabLines(minutes);
    if (schedule.State().kind != platform::ScheduleState::Kind::Unavailable || crontab.isEmpty()) {
        write(stderr, prefix + unable + schedule.LastError() + QStringLiteral(".\n"));
        return 1;
    }
    write(stderr, prefix + unable + schedule.LastError() +
                      (watcher ? QStringLiteral("; watching needs a user service manager. To "
                                                "publish every %1 minutes from cron instead "
                                                "(package cron), add the lines below with "
                                                "crontab -e.\n")
                                     .arg(minutes)
                               : QStringLiteral("; to publish from cron instead (package cron), "
                                                "add the lines below with crontab -e.\n")));
    write(stdout, crontab);
    return 1;
}

} // namespace

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
    // "changes", "changes 10", or the minutes alone.
    QStringList words = value.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const bool watcher = !words.isEmpty() &&
                         words.first().compare(QLatin1String("changes"), Qt::CaseInsensitive) == 0;
    if (watcher)
        words.removeFirst();
    bool number = watcher && words.isEmpty();
    const int minutes = number ? platform::Schedule::OfferedMinutes
                               : (words.size() == 1 ? words.first().toInt(&number) : 0);
    if (!number || minutes < platform::Schedule::MinMinutes ||
        minutes > platform::Schedule::MaxMinutes) {
        write(stderr, prefix + QStringLiteral("--schedule takes a number of minutes from %1 to "
                                              "%2, \"changes\" with or without one, or \"off\" "
                                              "(not \"%3\").\n")
                                   .arg(platform::Schedule::MinMinutes)
                                   .arg(platform::Schedule::MaxMinutes)
                                   .arg(value));
        return 1;
    }
    const platform::ScheduleKind kind =
        watcher ? platform::ScheduleKind::Watcher : platform::ScheduleKind::Timer;
    if (!turn.Take()) {
        write(stderr, prefix +
                          (watcher ? QStringLiteral("Unable to publish when the address changes: ")
                                   : QStringLiteral("Unable to publish on a schedule: ")) +
                          turn.Problem() + QStringLiteral(".\n"));
        return 1;
    }
    if (!schedule.Set(minutes, kind))
        return refused(schedule, minutes, kind);
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
    const QSignalBlocker watch(dialog.optScheduleWatch);
    const QSignalBlocker minutes(dialog.updScheduleMinutes);
    const QSignalBlocker watchMinutes(dialog.updWatchMinutes);
    const bool available = state.kind != platform::ScheduleState::Kind::Unavailable;
    const bool on = state.kind == platform::ScheduleState::Kind::On;
    dialog.chkSchedule->setEnabled(available);
    dialog.chkSchedule->setChecked(on);
    dialog.optScheduleWatch->setEnabled(available);
    if (on) {
        const bool watcher = state.how == platform::ScheduleKind::Watcher;
        (watcher ? dialog.optScheduleWatch : dialog.optScheduleTimer)->setChecked(true);
        (watcher ? dialog.updWatchMinutes : dialog.updScheduleMinutes)->setValue(state.minutes);
    }
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
        QStringLiteral(" Publishing as soon as the address changes needs one; to publish from "
                       "cron every %1 minutes instead (package cron), add these lines with "
                       "crontab -e:")
            .arg(dialog.updScheduleMinutes->value()));
    dialog.txtCrontab->setPlainText(crontab);
    dialog.txtCrontab->show();
}

// What the controls ask for.
platform::ScheduleState chosenSchedule(const frmOptions& dialog) {
    platform::ScheduleState chosen;
    chosen.kind = dialog.chkSchedule->isChecked() ? platform::ScheduleState::Kind::On
                                                  : platform::ScheduleState::Kind::Off;
    const bool watcher = dialog.optScheduleWatch->isChecked();
    chosen.how = watcher ? platform::ScheduleKind::Watcher : platform::ScheduleKind::Timer;
    chosen.minutes = (watcher ? dialog.updWatchMinutes : dialog.updScheduleMinutes)->value();
    return chosen;
}

// The minutes of the kind not chosen, or the kind while the box is clear, change nothing on the
// system: a running watcher is not started again for them.
bool sameSchedule(const platform::ScheduleState& a, const platform::ScheduleState& b) {
    if (a.kind != b.kind)
        return false;
    return a.kind != platform::ScheduleState::Kind::On ||
           (a.how == b.how && a.minutes == b.minutes);
}

// Nothing changes on the system before OK: each tick or step of the minutes would otherwise
// reload systemd, and Cancel could not take it back. Meanwhile the line says what OK will do.
void showChosenSchedule(frmOptions& dialog) {
    const platform::ScheduleState now = programSchedule().State();
    // Without a system to run it, the minutes only change the crontab lines offered.
    const platform::ScheduleState chosen = chosenSchedule(dialog);
    if (!dialog.chkSchedule->isEnabled() || sameSchedule(chosen, now)) {
        showSchedule(dialog, now);
        return;
    }
    if (chosen.kind == platform::ScheduleState::Kind::Off)
        dialog.lblSchedule->setText(
            QStringLiteral("Off once you press OK: the page will be published only when you "
                           "upload it."));
    else if (chosen.how == platform::ScheduleKind::Watcher)
        dialog.lblSchedule->setText(QStringLiteral("On once you press OK: publishing as soon as "
                                                   "the address changes, checking every %1 "
                                                   "minutes as well.")
                                        .arg(chosen.minutes));
    else
        dialog.lblSchedule->setText(
            QStringLiteral("On once you press OK: publishing every %1 minutes.")
                .arg(chosen.minutes));
}

} // namespace

void LoadSchedule(frmOptions& dialog) {
    dialog.chkNoticeOnChange->setChecked(NoticeOnAddressChange());
    showSchedule(dialog, platform::ReadSchedule());
    QObject::connect(&dialog, &frmOptions::scheduleChanged, &dialog,
                     [&dialog] { showChosenSchedule(dialog); });
    LoadTrayOption(dialog);
}

bool SaveNoticeOptions(frmOptions& dialog) {
    return SetNoticeOnAddressChange(dialog.chkNoticeOnChange->isChecked());
}

bool ApplySchedule(frmOptions& dialog) {
    platform::Schedule schedule = programSchedule();
    const platform::ScheduleState before = schedule.State();
    const platform::ScheduleState chosen = chosenSchedule(dialog);
    if (!dialog.chkSchedule->isEnabled() || sameSchedule(chosen, before))
        return true;
    const bool on = chosen.kind == platform::ScheduleState::Kind::On;
    const bool watcher = chosen.how == platform::ScheduleKind::Watcher;
    const bool done = on ? schedule.Set(chosen.minutes, chosen.how) : schedule.Remove();
    showSchedule(dialog, schedule.State());
    if (done)
        return true;
    platform::MsgBox((on ? (watcher ? QStringLiteral("Unable to publish when the address "
                                                     "changes: ")
                                    : QStringLiteral("Unable to publish on a schedule: "))
                         : QStringLiteral("Unable to remove the schedule: ")) +
                         schedule.LastError() + QLatin1Char('.'),
                     platform::MsgIcon::Critical);
    return false;
}
