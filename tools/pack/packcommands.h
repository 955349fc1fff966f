#pragma once
#include <QStringList>
#include <cstdio>

// The commands of quillFern-pack, each given the words after its name. Each
// returns the process's exit status: 0 when it did what was asked, 1 when it
// refused or failed (with the reason on standard error), 2 on a command line
// it cannot read.
namespace PackCommands {

enum Status { Done = 0, Refused = 1, BadUsage = 2 };
enum class Command { Make, Sign, Verify };

// Says on standard error what is wrong with the command line and how the command is used.
int badUsage(Command command, const QString &problem);
// How every command is used.
void printUsage(FILE *stream);

// make --from <old release> --to <new release> --out <package dir> [--full] [--quiet]
int make(const QStringList &arguments);
// sign --key <minisign secret key> [--trusted-comment <text>] <package dir>
int sign(const QStringList &arguments);
// verify <package dir> --installed <old release> [--expect <new release>] [--keys <public key file>]...
// `builtInKeys`: the keys compiled into this build, checked as well.
int verify(const QStringList &arguments, const QByteArray &builtInKeys);

} // namespace PackCommands
