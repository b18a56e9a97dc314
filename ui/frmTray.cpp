#include "frmTray.h"

#include <QAction>
#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QStyle>
#include <QSystemTrayIcon>

namespace {

// Large enough for any panel; the desktop scales it down.
constexpr int IconSize = 64;

// The program's icon with a small mark in its lower right corner.
QIcon marked(const QIcon& icon, QStyle::StandardPixmap mark) {
    QPixmap picture = icon.pixmap(IconSize, IconSize);
    QPainter painter(&picture);
    const int size = IconSize / 2;
    painter.drawPixmap(IconSize - size, IconSize - size,
                       QApplication::style()->standardIcon(mark).pixmap(size, size));
    painter.end();
    return QIcon(picture);
}

} // namespace

frmTray::frmTray(QObject* parent) : QObject(parent), m_menu(std::make_unique<QMenu>()) {
    mnuTray = m_menu.get();
    mnuPublishNow = mnuTray->addAction(QStringLiteral("Publish now"));
    mnuOpen = mnuTray->addAction(QStringLiteral("Open Vantrell"));
    mnuHistory = mnuTray->addAction(QStringLiteral("History..."));
    mnuTray->addSeparator();
    mnuQuit = mnuTray->addAction(QStringLiteral("Quit the icon"));
    connect(mnuPublishNow, &QAction::triggered, this, &frmTray::publishNowRequested);
    connect(mnuOpen, &QAction::triggered, this, &frmTray::openRequested);
    connect(mnuHistory, &QAction::triggered, this, &frmTray::historyRequested);
    connect(mnuQuit, &QAction::triggered, this, &frmTray::quitRequested);

    icoTray = new QSystemTrayIcon(this);
    icoTray->setContextMenu(mnuTray);
    setLook(Look::Stopped);
}

frmTray::~frmTray() {
    // The icon goes before the menu it shows.
    delete icoTray;
}

bool frmTray::Available() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void frmTray::setLook(Look look) {
    m_look = look;
    const QIcon program(QStringLiteral(":/icons/vantrell.svg"));
    switch (look) {
    case Look::Watching:
        icoTray->setIcon(program);
        break;
    case Look::Working:
        icoTray->setIcon(marked(program, QStyle::SP_BrowserReload));
        break;
    case Look::Failing:
        icoTray->setIcon(marked(program, QStyle::SP_MessageBoxCritical));
        break;
    case Look::Stopped:
        icoTray->setIcon(QIcon(program.pixmap(IconSize, IconSize, QIcon::Disabled)));
        break;
    }
}
