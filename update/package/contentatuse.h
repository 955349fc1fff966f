#pragma once

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

#include "canceltoken.h"
#include "crypto.h"
#include "fileops.h"
#include "outcome.h"

// The content a manifest lists, by each file's path relative to the payload,
// found under any spelling the file system takes for that path. A million
// files must fit beside the run: each entry is its names' bytes and its
// digest, in one block.
class ListedContent
{
public:
    // The file at `path` must have `digest`; the manifest lists it at `line`.
    void add(const QString &path, const Crypto::Sha256Digest &digest, int line);
    // Readies the look-ups once everything is added.
    void seal();

    // Null when `path` is not listed.
    const Crypto::Sha256Digest *find(const QString &path) const;
    int size() const { return int(entries.size()); }
    // Each entry by its index, from 0 to size(); the path as the manifest spells it.
    QString pathAt(int index) const;
    const Crypto::Sha256Digest &digestAt(int index) const { return entries[size_t(index)].digest; }
    int lineAt(int index) const { return entries[size_t(index)].line; }

    // The one key of all spellings of `path`.
    static QString key(const QString &path);

private:
    static constexpr quint32 SpelledAsKey = 0xffffffff;
    struct Entry
    {
        quint32 keyAt;
        quint32 spellingAt; // SpelledAsKey where the path is its key
        quint32 keyBytes;
        quint32 spellingBytes;
        qint32 line;
        Crypto::Sha256Digest digest;
    };
    QByteArray keyOf(const Entry &entry) const;

    // The UTF-8 of every key, and of every spelling that differs from its key, one after another.
    QByteArray keys;
    QByteArray spellings;
    std::vector<Entry> entries; // by key once sealed
};

// Holds the files a run puts in place to the listed content at the moment
// they are used, not only when the package was checked: a copy hashes the
// bytes it writes and compares them before they are renamed into place; a
// file moved into place is hashed again there before the commit, and every
// listed file must have been put in place by then. With nothing listed it
// checks nothing and costs nothing.
class ContentAtUse
{
public:
    void setListed(std::shared_ptr<const ListedContent> content);
    bool isChecking() const { return listed != nullptr; }

    // Whether the file at `relative` may be put in place at all: when checking, only a listed one may.
    Outcome checkListed(const QString &source, const QString &relative);
    // Writes `source` to `temporary` (see FileOps::writeTemporaryCopy). When
    // checking, what was written must be the listed content of `relative`:
    // otherwise the temporary file is removed and the outcome says which file differs.
    Outcome writeTemporaryCopy(const QString &source, const QString &relative, const QString &temporary,
                               const FileOps::Progress &progress);
    // When checking, `bytes`, read from `path` to be used as they are (the
    // deletion list), must be the listed content of `relative`.
    Outcome checkRead(const QString &path, const QString &relative, const QByteArray &bytes);
    // The file at `relative` was moved into place unread; checkPlaced hashes it there.
    void noteMoved(const QString &relative);
    // Before the commit: each file moved into place is hashed where it is now,
    // and each listed file must be in place, unless the copy passes over it
    // and it is still in the payload at `payload`, or it is the deletion list.
    Outcome checkPlaced(const QString &root, const QString &payload, const CancelToken &cancel,
                        int threads = 0);

    // A file was not the listed content when it was used: no later try can mend that.
    bool foundDifference() const { return differs; }

private:
    Outcome difference(const QString &path, const QString &reason);

    std::shared_ptr<const ListedContent> listed;
    // Keys of the listed files put in place, by any try of the run.
    QSet<QString> placed;
    QStringList moved;
    bool differs = false;
};
