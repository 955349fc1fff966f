#include "packcommands.h"

#include <QTextStream>
#include <cstdio>

namespace {

// Each command's words, as its usage and the tool's list them.
const char *synopsis(PackCommands::Command command)
{
    switch (command) {
    case PackCommands::Command::Make:
        return "make --from <old release> --to <new release> --out <package dir> [--full] [--quiet]";
    case PackCommands::Command::Sign:
        return "sign --key <minisign secret key> [--trusted-comment <text>] <package dir>";
    case PackCommands::Command::Verify:
        return "verify <package dir> --installed <old release> [--expect <new release>] "
               "[--keys <minisign public key file>]...";
    }
    return "";
}

const char *name(PackCommands::Command command)
{
    switch (command) {
    case PackCommands::Command::Make:
        return "make";
    case PackCommands::Command::Sign:
        return "sign";
    case PackCommands::Command::Verify:
        return "verify";
    }
    return "";
}

} // namespace

int PackCommands::badUsage(Command command, const QString &problem)
{
    QTextStream(stderr) << "quillFern-pack " << name(command) << ": " << problem << '\n'
                        << "Usage: quillFern-pack " << synopsis(command) << '\n';
    return BadUsage;
}

void PackCommands::printUsage(FILE *stream)
{
    QTextStream out(stream);
    out << "Usage:\n";
    for (const Command command : {Command::Make, Command::Sign, Command::Verify})
        out << "  quillFern-pack " << synopsis(command) << '\n';
}
