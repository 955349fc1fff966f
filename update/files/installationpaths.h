#pragma once

#include <QString>

// Where a run may act: paths are resolved against the installation root, and
// folders are known by what the file system says they are, so that nothing
// outside the root is touched and no folder that holds it is removed,
// whatever path names it.
namespace InstallationPaths {

// The installation root: the parent of `applicationDir`, the folder that
// holds the updater and the product.
QString installationRoot(const QString &applicationDir);

// Why this process cannot create files in the installation root `root`, as
// found by creating one; empty when it can.
QString writeRefusal(const QString &root);

// Where removing the file `path` would act, relative to `canonicalRoot`:
// ".." segments and links in its folders are resolved, while a link as the
// last segment is removed itself, not what it points to; a short name is
// taken as its long one. Empty when it may be removed, with `relative` empty
// when there is no file to remove; otherwise why not: it lies outside the
// root, behind a junction or mount point, or its name is not its own.
QString removalRefusal(const QString &path, const QString &canonicalRoot, QString *relative);

// Why the package folder `packageDir` must not be removed (it is a file
// system's root or a mount point, or holds the installation or the updater),
// or an empty text when it may be.
QString packageRemovalRefusal(const QString &packageDir, const QString &installationRoot,
                              const QString &applicationDir);

} // namespace InstallationPaths
