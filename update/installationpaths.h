#pragma once

#include <QString>

// Where a run may act: paths are resolved against the installation root, so
// that nothing outside it is touched and no folder that holds it is removed.
namespace InstallationPaths {

// The installation root: the parent of `applicationDir`, the folder that
// holds the updater and the product.
QString installationRoot(const QString &applicationDir);

// Where removing the file `path` would act, relative to `canonicalRoot`:
// ".." segments and links in its folders are resolved, while a link as the
// last segment is removed itself, not what it points to. False when that
// lies outside the root; an empty result when there is no file to remove.
bool removalTarget(const QString &path, const QString &canonicalRoot, QString *relative);

// Why the package folder `packageDir` must not be removed (it is a file
// system's root, or holds the installation or the updater), or an empty text
// when it may be.
QString packageRemovalRefusal(const QString &packageDir, const QString &installationRoot,
                              const QString &applicationDir);

} // namespace InstallationPaths
