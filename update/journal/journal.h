#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <functional>

#include "outcome.h"

// One change a run makes to the installation, as its journal keeps it.
struct JournalRecord
{
    enum Kind : char {
        MovedAside = 'M',     // the original now lies in the backup area under the same path
        CreatedFile = 'N',    // the run wrote a file where there was none
        CreatedFolder = 'D',  // the run made a folder where there was none
        TemporaryFile = 'T',  // a temporary copy may be left beside the path
        ListSetAside = 'L',   // the package's deletion list, by its absolute path
        MovedIn = 'V',        // a package file moved into place from the absolute path `extra`
        PackageApplied = 'P', // the package folder, resolved, with its file identity as `extra`
        VolumeArea = 'A',     // changes under the folder `path` were made on the volume mounted there,
                              // whose root folder has the identity `extra`; its originals are kept in
                              // an area on it
        Made = 'I',           // the file or folder at `path` that the run made has the identity `identity`
    };

    JournalRecord() = default;
    JournalRecord(char kind, const QString &path, const QString &extra = QString(),
                  const QString &identity = QString())
        : kind(kind)
        , path(path)
        , extra(extra)
        , identity(identity)
    {}

    char kind = 0;
    // Relative to the installation root, with forward slashes; absolute for ListSetAside.
    QString path;
    // The temporary file's name beside `path`, a moved-in file's source, or
    // the package's identity; often empty.
    QString extra;
    // What the record's change acts on, as Place::lastingIdentity gives it:
    // the package file a moved-in record moves, the file or folder a Made
    // record names, the marker file a package record's package holds. Empty
    // in formats before 5.
    QString identity;
};

// The run's write-ahead journal: a record is on disk before the change it
// describes can be. Each record is one line framed with a checksum, and the
// first names the format, so that a record cut short by a kill, a power cut
// or a full disk is never read as a record, and nothing after it is trusted.
// Journals of the format before this one, unframed lines, are still read:
// an updater that replaces itself may find its predecessor's journal.
class Journal
{
public:
    // What the first record names. Whatever comes later keeps that first
    // record's start, "J <version> ", so that an older updater can tell a
    // newer journal from a damaged one and leave it alone.
    // Format 3 added the package record, which format 2 lacks, format 4 the
    // record of a volume's area, and format 5 the identities that let every
    // undo check that its change was made; all are framed alike.
    static constexpr int FormatVersion = 5;
    // The first format whose records carry identities.
    static constexpr int FirstIdentifyingVersion = 5;
    static constexpr int FirstFramedVersion = 2;

    explicit Journal(const QString &path);
    ~Journal();
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;

    QString path() const { return file.fileName(); }

    // The bytes append() takes for `record`.
    static QByteArray frame(const JournalRecord &record);

    // Opens the journal for appending, creating it when missing. A journal of
    // this format found there is appended to after its last whole record;
    // one of another format, or that cannot be read, is refused.
    Outcome open();
    bool isOpen() const { return file.isOpen(); }
    // Open, and holding no record yet: the next append starts the journal.
    bool isEmpty() const { return wholeSize == 0; }
    // Writes the framed records at the end and puts them on disk before it
    // returns. A write or flush that fails cuts the journal back to its last
    // whole record, on disk too, before anything else is written; should even
    // that fail, the journal takes no more records.
    Outcome append(const QByteArray &framedRecords);
    void close();

    // Calls `visit` for each whole record of the journal at `path`, newest
    // first, reading it in blocks so that memory stays the same however long
    // it is. None is visited after the first that is cut short or fails its
    // check, and no line is held beyond the length a record can have. A
    // missing journal holds no records. One written by a newer updater, or
    // one that cannot be read safely (its first record damaged while whole
    // records follow), is not read at all, and that is the failure returned.
    // `format`, where given, gets the format the journal is in.
    static Outcome readNewestFirst(const QString &path,
                                   const std::function<void(const JournalRecord &)> &visit,
                                   int *format = nullptr);

private:
    Outcome writeAll(const QByteArray &bytes);
    void cutBack();

    QFile file;
    // Where the last whole record ends: all the journal that can be trusted.
    qint64 wholeSize = 0;
    bool broken = false;
};
