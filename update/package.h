#pragma once

#include <QString>

// The update package a run applies, resolved once at the start, so that
// every step and the journal name the same files from any working folder: a
// folder with the payload folder "Env" in it, and in that, optionally, the
// deletion list "del.xml"; beside it, optionally, the manifest "SHA256SUMS"
// that the payload must match. A package handed over through a link is the
// folder the link leads to.
class Package
{
public:
    Package() = default;
    explicit Package(const QString &given);

    bool isEmpty() const { return resolvedPath.isEmpty(); }
    // The package folder, absolute, with a link handed over resolved.
    QString path() const { return resolvedPath; }
    // As handed over, absolute: the link itself where it was one.
    QString givenPath() const { return given; }
    bool givenThroughLink() const { return given != resolvedPath; }

    QString payload() const;
    QString deletionList() const;
    static QString deletionListName();
    QString manifest() const;

    // Why this folder is not applied to the installation at `installationRoot`:
    // it holds no payload, or it is the installation root or holds it. Empty
    // when it may be applied.
    QString applyRefusal(const QString &installationRoot) const;
    // Why a package that may be applied must still not be removed: it is a
    // file system's root, or it holds the updater in `applicationDir`. Empty
    // when it may be.
    QString removalRefusal(const QString &installationRoot, const QString &applicationDir) const;

private:
    QString given;
    QString resolvedPath;
};
