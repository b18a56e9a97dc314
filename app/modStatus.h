#pragma once

#include <QPointer>
#include <QString>

class QDateTime;
class QWidget;
class frmTallyhost;

namespace platform {
struct HistoryEntry;
}

// The main window's line under the controls, and how the window looks while an upload runs.

// Shows the line. When the text is too long for it, the part named `where` gives way, or else
// the end of the text; the whole text is then the line's tool tip, followed by `tip`.
void ShowStatus(frmTallyhost& form, const QString& before, const QString& where = {},
                const QString& after = {}, const QString& tip = {});

// What the last attempt came to, on the status line.
void ShowOutcome(frmTallyhost& form, const platform::HistoryEntry& entry);

// A time as the status line says it: hours and minutes today, with the date on other days.
QString WhenSaid(const QDateTime& time);

// The address published, and the IPv6 address beside it where the page has one.
QString AddressesOf(const platform::HistoryEntry& entry);

// The hourglass over the main window while it lives.
class Hourglass {
public:
    explicit Hourglass(frmTallyhost& form);
    ~Hourglass();
    Hourglass(const Hourglass&) = delete;
    Hourglass& operator=(const Hourglass&) = delete;

private:
    QPointer<frmTallyhost> m_form;
};

// While an upload runs, it cannot be started again, and it can be cancelled.
class BusyWindow {
public:
    explicit BusyWindow(frmTallyhost& form);
    ~BusyWindow();
    BusyWindow(const BusyWindow&) = delete;
    BusyWindow& operator=(const BusyWindow&) = delete;

private:
    QPointer<frmTallyhost> m_form;
    bool m_buttonHadFocus;
    QPointer<QWidget> m_movedTo;
};
