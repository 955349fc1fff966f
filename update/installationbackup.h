#pragma once

#include <QFile>
#include <QString>

// Keeps what a run changes in the installation, so that a failed run can be
// rolled back. Every file the run removes or replaces is moved aside into a
// backup area inside the installation root (a rename on the same file
// system), and every file and folder it creates is recorded, in a journal on
// disk so that a run that was killed can be rolled back by the next one.
// Only the first original of each path is kept: a retry never overwrites it.
//
// Paths are relative to the installation root, with forward slashes.
class InstallationBackup
{
public:
    explicit InstallationBackup(const QString &root);
    ~InstallationBackup();
    InstallationBackup(const InstallationBackup &) = delete;
    InstallationBackup &operator=(const InstallationBackup &) = delete;

    // The backup area's folder name directly under the installation root.
    static QString areaName();
    bool hasArea() const;
    // Whether `relative` lies in the backup area, which the run must not touch.
    static bool isInArea(const QString &relative);

    // The deletion list removes the file at `relative`. Missing entries and
    // folders are left alone. False when the file is still there.
    bool removeFile(const QString &relative);
    // Moves the applied deletion list at `listPath` aside.
    bool setListAside(const QString &listPath);
    // The copy creates the folder `relative`.
    bool makeFolder(const QString &relative);
    // The copy puts the file `source` at `relative`, replacing what is there
    // only with a complete copy. A folder at `relative` makes it fail.
    bool putFile(const QString &source, const QString &relative);

    // Undoes everything the journal records, newest first, puts the deletion
    // list back into its package and removes the area. When something cannot
    // be undone the area stays, so that the next run tries again.
    bool restore();
    // Drops the area after a run that completed.
    void discard();

private:
    QString absolute(const QString &relative) const;
    QString saved(const QString &relative) const;
    bool record(char kind, const QString &path);
    bool ensureSavedFolder(const QString &relative);
    bool moveAside(const QString &relative);
    bool undo(char kind, const QString &path);

    QString rootPath;
    QString areaPath;
    QFile journal;
    QString lastSavedFolder;
};
