#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Where a password for a secret key comes from, the only code of the tool
// that differs between systems: terminalpassword_unix.cpp and _win.cpp.
namespace TerminalPassword {

// The environment variable `name` as UTF-8 bytes (on other systems than
// Windows its bytes as they are, as minisign would read them); none when unset.
std::optional<QByteArray> fromEnvironment(const char *name);

// Shows `prompt` on standard error and reads one line from standard input
// with echo off, when standard input is a terminal (a console on Windows);
// none when it is not, or nothing could be read.
std::optional<QByteArray> ask(const QString &prompt);

} // namespace TerminalPassword
