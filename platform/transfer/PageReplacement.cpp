#include "PageReplacement.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QUrl>

#include <algorithm>

namespace platform::inet {

namespace {

const QString NotUnderOwnName =
    QStringLiteral("would not take it under a name of its own first (%1)");

} // namespace

PageReplacement::PageReplacement(Exchange exchange, const Dialect& dialect,
                                 const QString& hostAndPort, std::chrono::milliseconds timeout,
                                 const RemotePath& dir, const QString& name, QFile& page,
                                 Lookup lookup, const UploadJournal* journal)
    : m_exchange(std::move(exchange)), m_dialect(dialect), m_hostAndPort(hostAndPort),
      m_timeout(timeout), m_dir(dir), m_name(name), m_page(page), m_lookup(std::move(lookup)),
      m_journal(journal) {
    // Other runs of the program, here or on other machines, may upload the same page at the
    // same time.
    m_tag = uploadTag(QDateTime::currentDateTimeUtc(), QRandomGenerator::system()->generate());
    m_temp = temporaryName(name, m_tag);
    m_backup = backupName(name, m_tag);
}

Outcome PageReplacement::run() {
    if (std::optional<Outcome> failure = look())
        return *failure;
    if ((m_found == Found::Folder || m_found == Found::Link) && pageIsFolder())
        return folderInTheWay();
    if (m_found == Found::Nothing)
        restoreMovedAside();

    const std::optional<QStringList> before = m_journal ? m_journal->tags() : std::nullopt;
    m_earlier = before.value_or(QStringList());
    if (m_journal)
        m_journal->setTags(before.value_or(QStringList()) << m_tag);
    Outcome outcome = replace();
    if (const QString tidied = outcome.ok ? tidyUp() : QString(); !tidied.isEmpty())
        outcome.note += (outcome.note.isEmpty() ? QString() : QStringLiteral(" ")) + tidied;
    if (m_journal)
        m_journal->setTags(unfinished(outcome));
    return outcome;
}

// Finds out what stands under the page's name, its mode and what earlier uploads left: from the
// lookup where it can tell and nothing calls for more, else from the folder's listing.
std::optional<Outcome> PageReplacement::look() {
    std::optional<NameFacts> facts;
    if (const std::optional<Request> ask = m_dialect.pageQuery(m_dir, m_name)) {
        const Reply asked = m_exchange(*ask);
        if (asked.code != CURLE_OK && !asked.refusedOnly())
            return failed(asked);
        facts = m_dialect.factsIn(asked, m_name);
    } else if (m_lookup) {
        // The connection first, so that a server that cannot be reached or trusted, or refuses
        // the login, says so as any request does. Over a connection that is up already, this
        // asks the server nothing.
        const Reply connected =
            m_exchange({m_dialect.directoryUrl(m_dir), nullptr, {}, Request::Listing::None});
        if (connected.code != CURLE_OK && !connected.refusedOnly())
            return failed(connected);
        facts = m_lookup(m_dir, m_name);
    }
    const std::optional<QStringList> journal = m_journal ? m_journal->tags() : std::nullopt;
    if (facts && facts->kind != NameFacts::Kind::Missing && journal && journal->isEmpty()) {
        takeFacts(*facts);
        return std::nullopt;
    }
    // A server that will not say the page's mode (or list its folder) still gets the page, as
    // does a folder too large to list.
    const Reply looked = m_exchange(m_dialect.modeQuery(m_dir, m_name));
    if (looked.code != CURLE_OK && !looked.refusedOnly() && !looked.tooLong)
        return failed(looked);
    if (looked.code == CURLE_OK)
        m_mode = m_dialect.modeIn(looked, m_name);
    survey(looked);
    m_looked = looked;
    // Links followed, the lookup's word on the name beats a listing line.
    if (facts && facts->kind != NameFacts::Kind::Missing)
        takeFacts(*facts);
    return std::nullopt;
}

void PageReplacement::takeFacts(const NameFacts& facts) {
    switch (facts.kind) {
    case NameFacts::Kind::Missing:
        m_found = Found::Nothing;
        break;
    case NameFacts::Kind::File:
        m_found = Found::File;
        m_mode = facts.mode;
        break;
    case NameFacts::Kind::Folder:
        m_found = Found::Folder;
        break;
    case NameFacts::Kind::Other:
        m_found = Found::Link;
        break;
    }
}

// The uploads that may still have names on the server: this one unless it is known to have left
// nothing, and those whose leftovers the listing showed and are still there.
QStringList PageReplacement::unfinished(const Outcome& outcome) const {
    QStringList tags;
    if (!outcome.ok || m_unremoved.contains(m_temp) || m_unremoved.contains(m_backup))
        tags << m_tag;
    if (!m_listed) {
        const std::optional<QStringList> before = m_journal->tags();
        for (const QString& tag : before.value_or(QStringList()))
            if (tag != m_tag)
                tags << tag;
        return tags;
    }
    for (const Leftover& left : m_leftovers) {
        if (!tags.contains(left.tag))
            tags << left.tag;
    }
    return tags;
}

// What the listing says about the page's name, and which names earlier uploads left.
void PageReplacement::survey(const Reply& looked) {
    const std::optional<QStringList> listing = m_dialect.listingIn(looked);
    if (!listing)
        return;
    m_listed = true;
    static const QRegularExpression lsLine(QStringLiteral(R"(^([-dl])[rwxsStT-]{9}[+.@]?\s)"));
    static const QRegularExpression typeFact(QStringLiteral(R"((?:^|;)type=([^;]*);)"),
                                             QRegularExpression::CaseInsensitiveOption);
    m_found = Found::Nothing;
    bool told = false; // by the name's own MLST facts, which a listing line cannot overrule
    for (const QString& line : *listing) {
        if (std::optional<Leftover> left = leftoverIn(line, m_name)) {
            m_leftovers << *left;
            continue;
        }
        const bool named = line.endsWith(u' ' + m_name) || line.endsWith(u'/' + m_name);
        if (const QRegularExpressionMatch fact = typeFact.match(line); fact.hasMatch() && named) {
            const QString type = fact.captured(1).toLower();
            m_found = type == u"file"                                        ? Found::File
                      : type == u"dir" || type == u"cdir" || type == u"pdir" ? Found::Folder
                                                                             : Found::Link;
            told = true;
            continue;
        }
        const QRegularExpressionMatch ls = lsLine.match(line);
        if (told || !ls.hasMatch())
            continue;
        const QChar kind = ls.captured(1).front();
        if (kind == u'l' && line.contains(u' ' + m_name + QStringLiteral(" -> ")))
            m_found = Found::Link;
        else if (named)
            m_found = kind == u'd' ? Found::Folder : Found::File;
    }
}

// Only a file is ever moved or replaced. A link may lead to a folder; the server knows.
bool PageReplacement::pageIsFolder() {
    if (m_found == Found::Folder)
        return true;
    RemotePath inside = m_dir;
    inside.segments << m_name;
    return m_dialect.directoryFound(m_exchange(m_dialect.directoryCheck(inside)));
}

Outcome PageReplacement::folderInTheWay() const {
    return {false, QStringLiteral("\"%1\" is a folder on the server").arg(m_name)};
}

// A run cut short between moving the old page aside and renaming the new one in left the site
// without a page: the newest copy goes back first.
void PageReplacement::restoreMovedAside() {
    const Leftover* newest = nullptr;
    for (const Leftover& left : m_leftovers) {
        if (left.oldPage && (!newest || left.started > newest->started))
            newest = &left;
    }
    if (!newest || !rename(newest->name, m_name))
        return;
    m_found = Found::File;
    // The new page takes the mode of the page it replaces, which is this one now.
    m_mode = m_dialect.modeIn(m_looked, newest->name);
    const QString restored = newest->name;
    m_leftovers.removeIf([&](const Leftover& left) { return left.name == restored; });
}

// With the page in place, what earlier uploads left behind and can no longer be in use goes.
QString PageReplacement::tidyUp() {
    const QDateTime stale = QDateTime::currentDateTimeUtc().addSecs(
        -std::chrono::duration_cast<std::chrono::seconds>(LeftoverAge).count());
    // An upload this machine wrote down and did not finish (stopped, cut off) is over: runs of
    // one page here take turns. Others' may still be running within the hour.
    m_leftovers.removeIf([&](const Leftover& left) {
        return (left.started < stale || m_earlier.contains(left.tag)) && discard(left.name);
    });
    if (m_unremoved.isEmpty())
        return {};
    const qsizetype count = m_unremoved.size();
    QString names = u'"' + m_unremoved.mid(0, 3).join(QStringLiteral("\", \"")) + u'"';
    if (count > 3)
        names += QStringLiteral(" and %1 more").arg(count - 3);
    return QStringLiteral("The page is published, but %1 could not be removed from the server "
                          "(it refused to delete them): %2.")
        .arg(count == 1 ? QStringLiteral("1 old copy") : QStringLiteral("%1 old copies").arg(count),
             names);
}

// Deletes a name of an upload's own, counting it when the server will not; true when it went.
bool PageReplacement::discard(const QString& name) {
    if (remove(name))
        return true;
    m_unremoved << name;
    return false;
}

Outcome PageReplacement::replace() {
    if (m_found == Found::File && !m_dialect.renamesOntoTakenNames())
        return replaceAsideAtOnce();

    const Reply stored = uploadTemporary(false);
    if (m_dialect.renamed(stored))
        return {true, {}};
    if (m_dialect.nameRefused(stored))
        return uploadDirectly(NotUnderOwnName.arg(refusalIn(stored)));
    if (stored.code != CURLE_QUOTE_ERROR && stored.code != CURLE_OK) {
        if (m_dialect.uploadBegan(stored))
            remove(m_temp); // what arrived of it
        return failed(stored);
    }
    // The whole new page is on the server under the temporary name.
    if (!m_dialect.renameRefused(stored)) {
        discard(m_temp);
        return uploadDirectly(QStringLiteral("renames no files (%1)").arg(refusalIn(stored)));
    }
    return replaceAside(refusalIn(stored));
}

// Where renaming onto the page never works, the request that uploads the new page also moves
// the old one aside, renames the new one into place and deletes the old one: the page is
// missing only between two renames, never for a rename bound to fail.
Outcome PageReplacement::replaceAsideAtOnce() {
    const Reply stored = uploadTemporary(true);
    if (m_dialect.renamed(stored))
        return {true, {}};
    if (m_dialect.nameRefused(stored))
        return uploadDirectly(NotUnderOwnName.arg(refusalIn(stored)));
    if (stored.code != CURLE_QUOTE_ERROR) {
        if (m_dialect.uploadBegan(stored))
            remove(m_temp);
        return failed(stored);
    }
    const QString refusal = refusalIn(stored);
    m_pageAside = true;
    // Either rename may have been refused. After the second, the old page is back in a moment.
    if (rename(m_backup, m_name)) {
        remove(m_temp);
        return pageUnchanged(refusal);
    }
    // After the first, the old page never moved.
    Request look = m_dialect.modeQuery(m_dir, m_name);
    look.finishing = true;
    if (m_dialect.lists(m_exchange(look), m_name) != false) {
        remove(m_temp);
        return pageUnchanged(refusal);
    }
    return uploadOverMovedAside();
}

// Uploads the new page under the temporary name, then gives it the old page's mode and renames
// it onto the page (moving the old page aside first, and deleting it after, when asked).
Reply PageReplacement::uploadTemporary(bool aside) {
    for (;;) {
        QStringList then = keepMode(m_temp);
        if (aside)
            then += m_dialect.rename(m_dir, m_name, m_backup);
        then += m_dialect.rename(m_dir, m_temp, m_name);
        if (aside)
            then += m_dialect.removeIfAllowed(m_dir, m_backup);
        const Reply stored = upload(m_temp, then);
        if (!m_dialect.nameRefused(stored) || !m_temp.startsWith(u'.'))
            return stored;
        // Some servers take no name that starts with a dot. Under a visible name the
        // replacement stays as safe; only a plain upload under the page's name could leave
        // the page half-written.
        m_temp = temporaryName(m_name, m_tag, true);
        m_backup = backupName(m_name, m_tag, true);
        m_page.seek(0);
    }
}

QString PageReplacement::refusalIn(const Reply& reply) {
    return reply.lastReply().isEmpty() ? reply.curlError : reply.lastReply();
}

// The server took the temporary name but would not rename it onto the page; some servers
// never rename onto a name in use.
Outcome PageReplacement::replaceAside(const QString& refusal) {
    if (m_found != Found::File && m_found != Found::Nothing && pageIsFolder()) {
        remove(m_temp);
        return folderInTheWay();
    }
    if (!rename(m_name, m_backup)) {
        remove(m_temp);
        return pageUnchanged(refusal);
    }
    m_pageAside = true;
    if (rename(m_temp, m_name)) {
        discard(m_backup);
        return {true, {}};
    }
    if (rename(m_backup, m_name)) {
        remove(m_temp);
        return pageUnchanged(refusal);
    }
    return uploadOverMovedAside();
}

// Nothing can be renamed onto the page's name while the old page stands aside: the page goes
// there the plain way, and the old one stays aside when that fails too.
Outcome PageReplacement::uploadOverMovedAside() {
    remove(m_temp);
    Outcome direct =
        uploadDirectly(QStringLiteral("would not rename the new page onto the page's name"));
    if (direct.ok)
        discard(m_backup);
    else
        direct.error += QStringLiteral("; the old page is kept as \"%1\"").arg(m_backup);
    return direct;
}

// The page straight under its name, the one way left: a visitor may see it half written, and a
// cut connection leaves it so. Said with the success.
Outcome PageReplacement::uploadDirectly(const QString& because) {
    m_page.seek(0);
    const Reply stored = upload(m_name, keepMode(m_name));
    if (stored.code != CURLE_OK)
        return failed(stored);
    Outcome written{true, {}};
    written.note =
        QStringLiteral("The page was %1, without the safe replace, as the server %2.")
            .arg(m_found == Found::Nothing ? QStringLiteral("written straight under its name")
                                           : QStringLiteral("overwritten in place"),
                 because);
    return written;
}

Outcome PageReplacement::failed(const Reply& reply) const {
    return {false, describe(reply, m_hostAndPort,
                            QStringLiteral("Could not upload \"%1\"").arg(m_name), m_timeout)};
}

Outcome PageReplacement::pageUnchanged(const QString& refusal) const {
    return {false, QStringLiteral("Could not rename the uploaded page to \"%1\" (%2); the "
                                  "page on the server is unchanged")
                       .arg(m_name, refusal)};
}

// A new file takes the server's mode for new files, which may keep the web server from
// reading it: give it the old page's mode where the server lets it.
QStringList PageReplacement::keepMode(const QString& name) const {
    if (!m_mode)
        return {};
    return {m_dialect.setModeIfAllowed(m_dir, *m_mode, name)};
}

Reply PageReplacement::upload(const QString& name, const QStringList& then) {
    return m_exchange({m_dialect.directoryUrl(m_dir) + QUrl::toPercentEncoding(name), &m_page, then,
                       Request::Listing::None});
}

Reply PageReplacement::quote(const QStringList& commands, bool tidying) {
    return m_exchange({m_dialect.directoryUrl(m_dir), nullptr, commands, Request::Listing::None,
                       tidying || m_pageAside, true});
}

bool PageReplacement::rename(const QString& from, const QString& to) {
    return m_dialect.renamed(quote(m_dialect.rename(m_dir, from, to)));
}

// Deletes one of this upload's own names, where the server allows; true when it is gone.
bool PageReplacement::remove(const QString& name) {
    QString command = m_dialect.removeIfAllowed(m_dir, name);
    // Without the mark that lets it fail unnoticed, its failure shows.
    if (command.startsWith(u'*'))
        command.remove(0, 1);
    return quote({command}, true).code == CURLE_OK;
}

} // namespace platform::inet
