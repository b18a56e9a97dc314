#pragma once

#include "CommonDialog.h"

#include <QMainWindow>

#include <array>
#include <functional>

class QAction;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class frmAbout;

namespace platform {
class Inet;
}

// The program's one working window. The upload job reads and writes its controls directly;
// the window itself only dispatches its commands, as signals the job connects.
class frmTallyhost : public QMainWindow {
    Q_OBJECT
public:
    explicit frmTallyhost(QWidget* parent = nullptr);
    ~frmTallyhost() override;

    QGroupBox* Frame1 = nullptr;
    QGroupBox* Frame2 = nullptr;
    QLabel* lblHTMLTemplate = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    std::array<QLabel*, 3> lblUserName{};
    QLabel* lblUploadFileName = nullptr;

    QLineEdit* txtHTMLTemplate = nullptr;
    std::array<QLineEdit*, 3> txtIPParseField{};
    QLineEdit* txtFTPSite = nullptr;
    QLineEdit* txtUserName = nullptr;
    QLineEdit* txtPassword = nullptr;
    QLineEdit* txtUploadFileName = nullptr;
    QLineEdit* txtUploadDir = nullptr;

    QPushButton* comTemplateFile = nullptr;
    QPushButton* comUploadTallyhost = nullptr;

    // The row under the controls: what the upload is doing or what it came to, and the button
    // that stops it, shown only while it runs.
    QLabel* lblStatus = nullptr;
    QPushButton* cmdCancel = nullptr;

    QMenu* mnuFile = nullptr;
    QAction* mnuUploadTallyhost = nullptr;
    QAction* mnuExit = nullptr;
    QMenu* mnuTools = nullptr;
    QAction* mnuOptions = nullptr;
    QAction* mnuHistory = nullptr;
    QMenu* mnuHelp = nullptr;
    QAction* mnuWebsite = nullptr;
    QAction* mnuAbout = nullptr;

    platform::CommonDialog CommonDialog1;
    platform::Inet* inetFTP = nullptr;

    // The About box, created on first use and kept.
    frmAbout* About();

    // Asked when the window is closed from its frame: false keeps it open. Unset, it closes.
    std::function<bool()> mayClose;

signals:
    void uploadRequested();
    void cancelRequested();
    void exitRequested();
    void optionsRequested();
    void historyRequested();
    void websiteRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void createControls();
    void createMenus();
    void nameControls();
    void setFocusOrder();
    void browseTemplate();
    void showAbout();

    frmAbout* m_about = nullptr;
};
