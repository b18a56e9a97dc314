#include "CommandLine.h"

#include "AppInfo.h"
#include "Process.h"
#include "PublishHistory.h"
#include "WatchState.h"
#include "modSchedule.h"

#include <QDateTime>
#include <QString>

#include <cstdio>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view Usage = R"(Usage: vantrell [/A]
       vantrell --watch [MINUTES]
       vantrell --schedule MINUTES|changes [MINUTES]|off
       vantrell --status
       vantrell --check
       vantrell --tray
       vantrell -h | --help | -V | --version

Fills your HTML template with this machine's IP address, the date and the time,
and uploads the page by FTP, FTPS or SFTP. Without /A it opens its window,
where you fill in the settings and press "Upload IP Address".

  /A             publish the page once with the stored settings and end,
                 without any message when all went well (for cron or a
                 systemd timer); it counts in either case and anywhere on
                 the command line
  --watch [MINUTES]
                 keep running and publish as soon as the address may have
                 changed: this machine's addresses, the router's news, a
                 wake from sleep, and a safety check every MINUTES minutes
                 (5 to 1440, 15 unless given). SIGHUP reads the settings
                 again, SIGUSR1 publishes now, SIGTERM stops it
  --schedule MINUTES
                 publish every MINUTES minutes (5 to 1440) from a systemd
                 user timer of the program's own, as Tools > Options does;
                 "off" removes it. Exit status 0 when it is in place or
                 removed, 1 with the reason when not
  --schedule changes [MINUTES]
                 publish as soon as the address changes, from a systemd user
                 service of the program's own that runs the watcher; it
                 checks every MINUTES minutes as well (15 when not given)
  --status       show the schedule and its next run, the watcher's state,
                 what was published last and where, and what failed since;
                 works without a display
  --check        fetch the page where visitors open it (PageURL) and say what
                 it shows: the address on it and when that was published, or
                 why it cannot be read. Exit status 0 when it shows the
                 address the source gives now, 1 otherwise
  --tray         show what the watcher does in the notification area
  -h, --help     show this help and end
  -V, --version  show the version and end

The FTP site's scheme picks the protocol: host or ftp://host (plain FTP),
ftpes://host (explicit TLS), ftps://host (implicit TLS), sftp://host (SSH).
The address comes from this machine (IPv4 or IPv6), the router (UPnP) or a web
service, as chosen in Tools > Options or in the [Address] settings.
To publish every 15 minutes: vantrell --schedule 15, or with the packaged timer
systemctl --user enable --now vantrell.timer

Exit status:
  0  the page was uploaded (or, with OnlyWhenChanged, nothing had changed),
     or the window was closed
  1  an unattended run did not upload the page, or (with PageURL) visitors
     do not see it; the message says why
  2  no display to open the window on, or an unexpected error

Settings: ${XDG_CONFIG_HOME:-~/.config}/TallyhostUpdater.ini
          (examples in /usr/share/doc/vantrell/examples)
Page:     $windir/temp when windir is set; otherwise $XDG_RUNTIME_DIR/vantrell,
          or a folder of your own under the temporary folder

Scheduling and the settings keys: man vantrell
)";

bool print(std::string_view text) {
    const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    return std::fflush(stdout) == 0 && written;
}

QString when(const QDateTime& time) {
    return time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString by(const platform::HistoryEntry& e) {
    switch (e.start) {
    case platform::HistoryEntry::Start::Schedule:
        return QStringLiteral("the schedule");
    case platform::HistoryEntry::Start::Unattended:
        return QStringLiteral("an unattended run (/A)");
    case platform::HistoryEntry::Start::Window:
        break;
    }
    return QStringLiteral("the window");
}

// What the watcher says of itself, when it has said anything.
QString watcherReport() {
    const std::optional<platform::WatchState> state = platform::WatchState::Load();
    if (!state)
        return {};
    if (!platform::WatcherRuns(state->pid))
        return QStringLiteral("not running; its last check at ") +
               (state->lastCheck.isValid() ? when(state->lastCheck) : QStringLiteral("none yet"));
    QString text = state->Summary();
    if (state->state == platform::WatchState::Kind::Failing)
        text += QStringLiteral("; failing: ") + state->message.simplified();
    return text;
}

QString statusReport() {
    using platform::HistoryEntry;
    const QList<HistoryEntry> history = platform::ReadHistory();
    QString out;
    const auto line = [&out](const char* label, const QString& text) {
        out += QString::fromLatin1(label).leftJustified(16) + text + QLatin1Char('\n');
    };
    line("Schedule:", ScheduleStatus());
    if (const QString watcher = watcherReport(); !watcher.isEmpty())
        line("Watcher:", watcher);

    // A page that visitors do not see was published all the same; a run that uploaded nothing
    // keeps no page of its own.
    qsizetype lastPublished = -1;
    for (qsizetype i = history.size() - 1; i >= 0 && lastPublished < 0; --i)
        if (history[i].result == HistoryEntry::Result::Published ||
            (history[i].result == HistoryEntry::Result::NotSeen && !history[i].pageHash.isEmpty()))
            lastPublished = i;
    if (lastPublished < 0) {
        line("Last published:", QStringLiteral("nothing yet"));
    } else {
        const HistoryEntry& e = history[lastPublished];
        const QString addresses =
            e.address6.isEmpty() ? e.address : e.address + QStringLiteral(" and ") + e.address6;
        line("Last published:",
             QStringLiteral("%1 (%2) to %3 at %4, by %5")
                 .arg(addresses, e.source, platform::Destination(e), when(e.time), by(e)));
        if (!e.ipv6Note.isEmpty())
            line("IPv6:", e.ipv6Note);
        if (e.result == HistoryEntry::Result::NotSeen)
            line("Web page:", QStringLiteral("Uploaded, not seen: ") + e.message);
        else if (!e.pageUrl.isEmpty())
            line("Web page:", QStringLiteral("Published and seen at ") + e.pageUrl);
    }

    qsizetype failures = 0;
    const HistoryEntry* lastFailure = nullptr;
    for (qsizetype i = lastPublished + 1; i < history.size(); ++i) {
        if (history[i].result == HistoryEntry::Result::Failed ||
            history[i].result == HistoryEntry::Result::NotSeen) {
            ++failures;
            lastFailure = &history[i];
        }
    }
    const char* failedLabel = lastPublished < 0 ? "Failures:" : "Failures since:";
    if (!lastFailure)
        line(failedLabel, QStringLiteral("none"));
    else
        line(failedLabel,
             QStringLiteral("%1, the last at %2, by %3: %4")
                 .arg(failures)
                 .arg(when(lastFailure->time), by(*lastFailure), lastFailure->message));

    if (!history.isEmpty()) {
        const HistoryEntry& e = history.last();
        QString seen;
        if (e.result == HistoryEntry::Result::Unchanged && !e.pageUrl.isEmpty())
            seen = QStringLiteral("; seen at ") + e.pageUrl;
        line("Last attempt:", QStringLiteral("%1 at %2, by %3%4")
                                  .arg(platform::ResultName(e.result), when(e.time), by(e), seen));
    }
    line("History:", platform::HistoryPath());
    return out;
}

} // namespace

bool Asked(int argc, const char* const* argv, std::string_view option) {
    for (int i = 1; i < argc; ++i)
        if (std::string_view(argv[i]) == option)
            return true;
    return false;
}

bool StatusAsked(int argc, const char* const* argv) {
    return Asked(argc, argv, "--status");
}

bool TrayAsked(int argc, const char* const* argv) {
    return Asked(argc, argv, "--tray");
}

int AnswerStatus() {
    const QByteArray report = statusReport().toLocal8Bit();
    return print(std::string_view(report.constData(), size_t(report.size()))) ? 0 : 1;
}

std::optional<int> AnswerInformationOptions(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument(argv[i]);
        if (argument == "--help" || argument == "-h")
            return print(Usage) ? 0 : 1;
        if (argument == "--version" || argument == "-V") {
            const std::string line = "vantrell " + std::to_string(platform::App::Major) + '.' +
                                     std::to_string(platform::App::Minor) + '.' +
                                     std::to_string(platform::App::Revision) + '\n';
            return print(line) ? 0 : 1;
        }
    }
    return std::nullopt;
}
