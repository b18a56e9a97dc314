#pragma once

#include "frmTallyhost.h"
#include "modTallyhost.h"

#include <QCoreApplication>
#include <QDir>
#include <QSettings>
#include <QTemporaryDir>

// A settings store, a Windows folder for the page and a folder for templates, all temporary,
// and a freshly loaded main window; the window goes with the sandbox.
class JobSandbox {
public:
    JobSandbox() {
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, config.path());
        QDir(windir.path()).mkdir(QStringLiteral("temp"));
        qputenv("windir", windir.path().toLocal8Bit());
        MainForm().show();
        LoadSettings();
    }
    ~JobSandbox() {
        if (MainFormLoaded())
            MainForm().deleteLater();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        qunsetenv("windir");
    }
    JobSandbox(const JobSandbox&) = delete;
    JobSandbox& operator=(const JobSandbox&) = delete;

    bool isValid() const {
        return config.isValid() && windir.isValid() && files.isValid() &&
               QDir(windir.filePath(QStringLiteral("temp"))).exists();
    }
    QString pagePath(const QString& name = QStringLiteral("page.htm")) const {
        return windir.filePath(QStringLiteral("temp/") + name);
    }

    QTemporaryDir config;
    QTemporaryDir windir;
    QTemporaryDir files;
};
