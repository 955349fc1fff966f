#pragma once

#include <QString>

// The files of an installation the updater needs to start, by their names
// in a release: its executable on either system and, for Windows, the Qt and
// runtime libraries installed beside it in bin/ and Qt's plugin folders
// there. The updater refuses to delete them, so that a start-up entry always
// finds a working updater; a package must not ask it to. Letter case is
// ignored, as Windows ignores it.
namespace UpdaterFiles {

bool isUpdatersOwn(const QString &relative);

} // namespace UpdaterFiles
