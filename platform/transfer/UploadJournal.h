#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace platform::inet {

// The uploads of one page that may have left names of their own on the server. A run writes its
// tag down before it puts anything there and crosses it out once it knows nothing of it is left,
// so that a later run knows when to look for what a cut-short run left, instead of listing the
// page's folder every time. One small file a page, under
// ${XDG_STATE_HOME:-~/.local/state}/vantrell/uploads/; the page lock keeps runs of one page
// apart.
class UploadJournal {
public:
    // `server` names the login ("user@host:port"), `page` the page's path on it.
    UploadJournal(const QString& server, const QString& page);

    // The tags written down; nothing when there is no record yet or it cannot be read, so
    // that a journal that cannot be kept never hides a leftover.
    std::optional<QStringList> tags() const;
    bool setTags(const QStringList& tags) const;

    static QString Folder();

private:
    QString m_path;
};

} // namespace platform::inet
