#pragma once

#include <QString>

#include <string>

// Paths and arguments as Windows' wide calls take them, for every part of
// the run that calls Windows itself.
namespace WindowsPaths {

// The path as Windows' wide calls take it; long paths in the "\\?\" form, as Qt's own file calls do.
std::wstring windowsPath(const QString &path);
// A path a wide call gave back, without the "\\?\" form, with forward slashes.
QString fromWindowsPath(const QString &native);
// `argument` quoted the way the C runtime and CommandLineToArgvW split a
// command line: backslashes count only before a double quote.
QString quotedArgument(const QString &argument);

} // namespace WindowsPaths
