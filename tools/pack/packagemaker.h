#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

#include "canceltoken.h"
#include "outcome.h"

// What making a package came to: the plan it carries, or why none was made.
struct MakeReport
{
    // Why no package was made; empty when one was. Nothing is written then.
    QStringList refusals;
    QStringList added;    // files the old release lacks
    QStringList replaced; // files whose content, permissions or kind differs (every file with --full)
    QStringList removed;  // named in the deletion list
    int unchanged = 0;
    qint64 addedBytes = 0;
    qint64 replacedBytes = 0;
    // An entry the updater leaves out, in the old release or the new one: left out of the package too.
    struct LeftOut
    {
        bool inNewRelease = false;
        QString path;
        QString reason;
    };
    QList<LeftOut> leftOut;
    // What became of each link of the new release, and of the old one's that matter.
    QStringList links;
    // Folders the new release no longer has: the deletion list removes files only, so they stay, empty.
    QStringList droppedFolders;
    // The package's bytes: payload, deletion list and manifest.
    qint64 packageBytes = 0;
    bool ok() const { return refusals.isEmpty(); }
};

// Makes the update package that turns the release `from` into the release
// `to`, as the updater applies it: "Env" holds every file of the new release
// that is new or differs (with `full`, every file), "Env/del.xml" names every
// file of the old release that the new one no longer has, and "SHA256SUMS"
// lists every file of Env. The same releases always give the same bytes. The
// package is laid out beside `out` and renamed into place whole, so a refusal
// or a failure leaves nothing behind; `out` must not exist, or be an empty folder.
class PackageMaker
{
public:
    // Bytes hashed or copied so far, and in all; called from any thread.
    using Progress = std::function<void(qint64 done, qint64 total)>;

    struct Options
    {
        QString from;
        QString to;
        QString out;
        bool full = false;
    };

    static MakeReport make(const Options &options, const Progress &progress = nullptr,
                           const CancelToken &cancel = CancelToken());

    // The deletion list naming `files` (relative paths), in the updater's format.
    static QByteArray deletionList(const QStringList &files);
    // "SHA256SUMS" for `entries`, each a relative path and its SHA-256 in hex, sorted as given.
    static QByteArray manifest(const QList<QPair<QString, QByteArray>> &entries);
};
