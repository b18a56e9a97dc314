#pragma once

#include <QDialog>

#include <array>
#include <cstdint>

class QFrame;
class QLabel;
class QPushButton;

// The About box: title, version, the product page and contact line, the disclaimer, and a
// button that starts the system's information program. Every showing loads it afresh.
class frmAbout : public QDialog {
    Q_OBJECT
public:
    explicit frmAbout(QWidget* parent = nullptr);

    QPushButton* cmdOK = nullptr;
    QPushButton* cmdSysInfo = nullptr;
    QLabel* picIcon = nullptr;
    QLabel* lblTitle = nullptr;
    QLabel* lblVersion = nullptr;
    QLabel* lblDescription = nullptr;
    QLabel* lblDisclaimer = nullptr;
    // The engraved rule: index 1 the grey line, index 0 the white one just below it.
    std::array<QFrame*, 2> Line1{};

    // Starts the system information program, or says that it is unavailable. Never throws.
    void StartSysInfo();

    // Reads a registry value as text into KeyVal; false (KeyVal emptied) when the key or value
    // cannot be read. A value without data throws, for the caller's trap.
    bool GetKeyValue(std::uint32_t KeyRoot, const QString& KeyName, const QString& SubKeyRef,
                     QString& KeyVal);

    // The description and disclaimer texts.
    static QString DescriptionText();
    static QString DisclaimerText();

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void createControls();
    void Form_Load();
    void fitFont();
    // Where the system information program is: the recorded path first, then a search.
    bool LocateSysInfo(QString& path);
};
