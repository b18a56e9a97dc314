#pragma once

#include <QObject>
#include <QString>

#include <memory>

namespace platform {

// Tells when the machine wakes from sleep: logind's PrepareForSleep(false) on the system bus
// (ResumeWatchLinux.cpp), the resume power broadcast on Windows (ResumeWatchWindows.cpp). The
// bus is reached off the event loop's thread, so that one which does not answer costs the
// program nothing but the news.
class ResumeWatch : public QObject {
    Q_OBJECT
public:
    explicit ResumeWatch(QObject* parent = nullptr);
    ~ResumeWatch() override;

    // Whether the news can come; false, with Problem(), once it is clear that it cannot.
    bool IsListening() const;
    QString Problem() const;

signals:
    void resumed();
    // The system bus was reached (listening) or could not be (with Problem()).
    void ready(bool listening);

private slots:
    // starting: the machine is about to sleep; false: it has woken.
    void onPrepareForSleep(bool starting);

private:
    struct Native;
    std::unique_ptr<Native> m_native;
};

} // namespace platform
