#pragma once

#include <QObject>

#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;

// The icon in the notification area: what the watcher is doing, at a glance and in its
// tooltip, and a menu. The upload job's module fills it and connects its commands; the icon
// only dispatches them.
class frmTray : public QObject {
    Q_OBJECT
public:
    // What the icon looks like: the program's own icon while the watcher watches, with a mark
    // while it works or when publishing fails, greyed when nothing watches.
    enum class Look { Watching, Working, Failing, Stopped };

    explicit frmTray(QObject* parent = nullptr);
    ~frmTray() override;

    // Whether the desktop shows a notification area at all.
    static bool Available();

    void setLook(Look look);
    Look look() const { return m_look; }

    QSystemTrayIcon* icoTray = nullptr;
    QMenu* mnuTray = nullptr;
    QAction* mnuPublishNow = nullptr;
    QAction* mnuOpen = nullptr;
    QAction* mnuHistory = nullptr;
    QAction* mnuQuit = nullptr;

signals:
    void publishNowRequested();
    void openRequested();
    void historyRequested();
    void quitRequested();

private:
    // A menu is a widget and cannot be the child of an object that is none.
    std::unique_ptr<QMenu> m_menu;
    Look m_look = Look::Stopped;
};
