#pragma once

#include "InetDialect.h"
#include "UploadJournal.h"

#include <QFile>
#include <QString>

#include <chrono>
#include <optional>

namespace platform::inet {

// Puts a new page in the place of the old one on the server, so that wherever a run stops,
// the server holds the old page or the whole new one:
//  - the new page goes up under a name of this upload's own (a visible one where the server
//    takes no names starting with a dot), takes the old page's permissions and is renamed onto
//    the page;
//  - a server that will not rename onto a name in use has the old page moved aside first; it
//    is deleted once the new one is in place, or moved back when the new one cannot go there;
//  - a server that will not take the temporary name, or will not rename it, gets a plain
//    upload under the page's own name, the one way it takes a page.
// The old page is never deleted before the new one is in place, and whatever of this upload's
// own names a failure leaves on the server is deleted where the server allows. Nothing but a
// plain file is ever moved or replaced: a folder under the page's name stops the upload first.
// What runs that were cut short left behind is tidied up: a page found missing gets its
// moved-aside copy back before anything else, and their names are deleted once the page is in
// place, when they are older than any upload could still be running or the journal says they
// are this machine's (a cancelled upload's part-file goes with the next run); what the server
// will not let go is counted in the outcome's note. The protocol's dialect says how each step
// is done.
//
// Where a lookup can tell what stands under the page's name without listing the folder, the
// folder is listed only when there is reason to: the page is missing, or the journal holds an
// upload of this page that may have left something behind (uploads write themselves down there
// before they begin).
class PageReplacement {
public:
    PageReplacement(Exchange exchange, const Dialect& dialect, const QString& hostAndPort,
                    std::chrono::milliseconds timeout, const RemotePath& dir, const QString& name,
                    QFile& page, Lookup lookup = {}, const UploadJournal* journal = nullptr);

    Outcome run();

    // No upload runs longer than this; names of earlier uploads older than that are leftovers.
    static constexpr std::chrono::hours LeftoverAge{1};

private:
    enum class Found { Unknown, Nothing, File, Folder, Link };
    std::optional<Outcome> look();
    void survey(const Reply& looked);
    void takeFacts(const NameFacts& facts);
    QStringList unfinished(const Outcome& outcome) const;
    bool pageIsFolder();
    Outcome folderInTheWay() const;
    void restoreMovedAside();
    QString tidyUp();
    bool discard(const QString& name);
    Outcome replace();
    Outcome replaceAside(const QString& refusal);
    Outcome replaceAsideAtOnce();
    Reply uploadTemporary(bool aside);
    static QString refusalIn(const Reply& reply);
    Outcome uploadDirectly(const QString& because);
    Outcome uploadOverMovedAside();
    Outcome failed(const Reply& reply) const;
    Outcome pageUnchanged(const QString& refusal) const;
    QStringList keepMode(const QString& name) const;
    Reply upload(const QString& name, const QStringList& then);
    // Tidying (deleting a name of the upload's own) goes ahead also when the upload is out of
    // time, as does everything once the old page may have stepped aside.
    Reply quote(const QStringList& commands, bool tidying = false);
    bool rename(const QString& from, const QString& to);
    bool remove(const QString& name);

    Exchange m_exchange;
    const Dialect& m_dialect;
    QString m_hostAndPort;
    std::chrono::milliseconds m_timeout;
    RemotePath m_dir;
    QString m_name;
    QFile& m_page;
    Lookup m_lookup;
    const UploadJournal* m_journal;
    bool m_listed = false;     // the folder was listed, so m_leftovers holds all there are
    std::optional<int> m_mode; // the old page's permissions, where the server told them
    QString m_tag;
    QString m_temp;
    QString m_backup;
    bool m_pageAside = false;       // the old page may have stepped aside
    Found m_found = Found::Unknown; // what the listing showed under the page's name
    Reply m_looked;                 // the folder's listing, where it was listed
    QList<Leftover> m_leftovers;    // of earlier uploads, as the listing showed them
    QStringList m_earlier;          // this machine's unfinished uploads of the page, written down
    QStringList m_unremoved;        // names left on the server that could not be deleted
};

} // namespace platform::inet
