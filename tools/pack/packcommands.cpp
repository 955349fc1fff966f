#include "packcommands.h"

#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace {

// Each command's name, and the words its usage and the tool's list give after it.
struct CommandUsage
{
    PackCommands::Command command;
    const char *name;
    const char *arguments;
};

constexpr CommandUsage commands[] = {
    {PackCommands::Command::Make, "make",
     "--from <old release> --to <new release> --out <package dir> [--full] [--quiet]"},
    {PackCommands::Command::Sign, "sign",
     "--key <minisign secret key> [--trusted-comment <text>] <package dir>"},
    {PackCommands::Command::Verify, "verify",
     "<package dir> --installed <old release> [--expect <new release>] "
     "[--keys <minisign public key file>]..."},
};

const CommandUsage &usageOf(PackCommands::Command command)
{
    return *std::find_if(std::begin(commands), std::end(commands),
                         [command](const CommandUsage &usage) { return usage.command == command; });
}

} // namespace

int PackCommands::badUsage(Command command, const QString &problem)
{
    const CommandUsage &usage = usageOf(command);
    QTextStream(stderr) << "quillFern-pack " << usage.name << ": " << problem << '\n'
                        << "Usage: quillFern-pack " << usage.name << ' ' << usage.arguments << '\n';
    return BadUsage;
}

void PackCommands::printUsage(FILE *stream)
{
    QTextStream out(stream);
    out << "Usage:\n";
    for (const CommandUsage &usage : commands)
        out << "  quillFern-pack " << usage.name << ' ' << usage.arguments << '\n';
}
