#pragma once

#include <QString>

// Paths as text, where text is all there is: a journal record names a file
// by the path it had, which may no longer lead anywhere. Where a place on
// disk is meant, ask Place, which knows a folder by what it is whatever
// spells it.
namespace PathText {

// Whether two paths that differ only in letter case name different files here.
Qt::CaseSensitivity caseSensitivity();

// Whether `path` is `folder` or, written out, lies below it: both clean and
// absolute, letter case counted as the system counts it.
bool isUnder(const QString &path, const QString &folder);

} // namespace PathText
