#pragma once

#include <QString>

#include "place.h"

// The update package a run applies, resolved once at the start, so that
// every step and the journal name the same files from any working folder: a
// folder with the payload folder "Env" in it, and in that, optionally, the
// deletion list "del.xml"; beside it, optionally, the manifest "SHA256SUMS"
// that the payload must match. A package handed over through a link is the
// folder the link leads to. What the package and its Env are is decided here,
// once, by what the file system says they are.
class Package
{
public:
    Package() = default;
    explicit Package(const QString &given);
    // The package a journal names: the folder at `resolved` counts as that
    // package only while it is still the folder known by `identity`.
    static Package recorded(const QString &resolved, const Place::Identity &identity);

    bool isEmpty() const { return resolvedPath.isEmpty(); }
    // The package folder, absolute, every link on the way resolved.
    QString path() const { return resolvedPath; }
    // As handed over, absolute: the link itself where it was one.
    QString givenPath() const { return given; }
    // The package was handed over as a link to it, which goes with it.
    bool givenThroughLink() const { return throughLink; }
    // The package folder as the file system knows it when the run started, in
    // the form that outlasts a restart (Place::lastingIdentity).
    Place::Identity identity() const { return id; }
    // Whether the folder at path() is still the one this package was.
    bool isStillThere() const;

    // The file a run leaves in the package before it moves the first file
    // out of it, holding a token that the journal keeps too: a folder at the
    // package's path that holds it is that package, whatever identity the
    // file system gives it now.
    static QString markerPath(const QString &packagePath);
    static bool holdsMarker(const QString &packagePath, const QString &token);

    QString payload() const;
    // The payload folder is a link, junction or mount point: what is in it
    // lies elsewhere, so it is read through and copied, and nothing in it is
    // moved, set aside or removed.
    bool payloadLiesElsewhere() const { return payloadLinked; }
    QString deletionList() const;
    static QString deletionListName();
    QString manifest() const;

    // Why this folder is not applied to the installation at `installationRoot`:
    // it holds no payload, it is the installation root or holds it, or its
    // payload leads into the installation. Empty when it may be applied.
    // `unreadable`, where given, says whether the refusal is only that the
    // system could not tell what the Env folder is (a failing disk, a denial).
    QString applyRefusal(const QString &installationRoot, bool *unreadable = nullptr) const;
    // Why a package that may be applied must still not be removed: it is a
    // file system's root, or it holds the updater in `applicationDir`. Empty
    // when it may be.
    QString removalRefusal(const QString &installationRoot, const QString &applicationDir) const;

private:
    QString given;
    QString resolvedPath;
    Place::Identity id;
    bool throughLink = false;
    bool payloadLinked = false;
};
