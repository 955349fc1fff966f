#pragma once

#include <QFileDevice>
#include <QList>
#include <QString>
#include <QStringList>
#include <vector>

#include "canceltoken.h"
#include "outcome.h"
#include "place.h"

// One file of a release as the updater would install it.
struct ReleaseFile
{
    QString relative; // "/" between names
    QString source;   // where to read it
    qint64 size = 0;
    // As the updater installs them with the file: read-only and executable bits above all.
    QFileDevice::Permissions permissions;
    // The entry itself is a link (to a file): the updater installs what it leads to.
    bool isLink = false;
    // It lies behind a folder link of the release.
    bool throughFolderLink = false;
};

// A release folder taken the way the updater takes a payload: every file it
// would install, every folder it would enter, and every entry it would leave
// out, with the reason. Links are followed as the copy follows them. Names
// the updater could not install under their own name on Windows (not valid
// UTF-8, characters Windows forbids, a last dot or space, two names that
// Windows takes for one) are problems: no package may carry them.
class ReleaseTree
{
public:
    static ReleaseTree fromFolder(const QString &root, const CancelToken &cancel = CancelToken());

    QString root() const { return rootPath; }
    // Sorted by the bytes of their UTF-8 paths, as "sort" sorts them in the C locale.
    const std::vector<ReleaseFile> &files() const { return releaseFiles; }
    const ReleaseFile *fileAt(const QString &relative) const;
    // Every folder the walk entered, the root aside, relative, sorted.
    const QStringList &folders() const { return releaseFolders; }
    // Entries the updater leaves out: the path as "path", the reason as "reason".
    const QList<Outcome> &leftOut() const { return leftOutEntries; }
    // Folder links entered, with their kind: the path as "path", the kind as "reason".
    const QList<Outcome> &folderLinks() const { return links; }
    // Why no package may carry this release's names; empty when none.
    const QStringList &problems() const { return nameProblems; }

    // Whether `relative` lies in or under one of `folders` (relative paths).
    static bool isUnderAny(const QString &relative, const QList<Outcome> &folders);
    // UTF-8 byte order, which keeps a sorted list the same on every system.
    static bool byteOrder(const QString &a, const QString &b);

private:
    void walkFolder(const QString &source, const QString &relative, bool throughLink,
                    const CancelToken &cancel, std::vector<Place::Identity> &walked);

    QString rootPath;
    std::vector<ReleaseFile> releaseFiles;
    QStringList releaseFolders;
    QList<Outcome> leftOutEntries;
    QList<Outcome> links;
    QStringList nameProblems;
};
