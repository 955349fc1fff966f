#pragma once

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <optional>

// The terminal the tool runs on, and where a password for a secret key comes
// from: the only code of the tool that differs between systems,
// terminal_unix.cpp and terminal_win.cpp.
namespace Terminal {

// Whether `stream` is a terminal (a console on Windows).
bool isTerminal(FILE *stream);

// The environment variable `name` as UTF-8 bytes (on other systems than
// Windows its bytes as they are, as minisign would read them); none when unset.
std::optional<QByteArray> passwordFromEnvironment(const char *name);

// Shows `prompt` on standard error and reads one line from standard input
// with echo off, when standard input is a terminal (a console on Windows);
// none when it is not, or nothing could be read.
std::optional<QByteArray> askPassword(const QString &prompt);

} // namespace Terminal
