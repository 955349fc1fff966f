#include <QFile>
#include <QTextStream>
#include <cstdio>

#include "commandwords.h"
#include "fileops.h"
#include "packageverifier.h"
#include "packcommands.h"
#include "reporttext.h"

namespace {

using ReportText::mebibytes;

void printList(QTextStream &out, const char *label, const QStringList &items)
{
    constexpr int Shown = 10;
    for (int i = 0; i < items.size() && i < Shown; ++i)
        out << "  " << label << ' ' << items.at(i) << '\n';
    if (items.size() > Shown)
        out << "  " << label << " ... and " << items.size() - Shown << " more\n";
}

} // namespace

int PackCommands::verify(const QStringList &arguments, const QByteArray &builtInKeys)
{
    QTextStream err(stderr);
    const CommandWords words(
        arguments, {QStringLiteral("--installed"), QStringLiteral("--expect"), QStringLiteral("--keys")}, {});
    QString problem = words.problem();
    if (problem.isEmpty() && words.positional().size() != 1)
        problem = words.positional().isEmpty()
                      ? QStringLiteral("a package folder is needed")
                      : QStringLiteral("unexpected \"%1\"").arg(words.positional().at(1));
    if (problem.isEmpty() && words.value(QStringLiteral("--installed")).isEmpty())
        problem = QStringLiteral("--installed is needed");
    if (!problem.isEmpty())
        return badUsage(Command::Verify, problem);
    PackageVerifier::Options options;
    options.package = words.positional().first();
    options.installed = words.value(QStringLiteral("--installed"));
    options.expected = words.value(QStringLiteral("--expect"));
    // The keys given, and those built into this build: a package signed by none of them is refused.
    QByteArray keyText = builtInKeys;
    for (const QString &file : words.values(QStringLiteral("--keys"))) {
        QByteArray text;
        if (FileOps::readPlainFile(file, 1024 * 1024, &text) != FileOps::ReadResult::Read) {
            err << "quillFern-pack verify: cannot read the key file \"" << file << "\"\n";
            return Refused;
        }
        if (!keyText.isEmpty() && !keyText.endsWith('\n'))
            keyText += '\n';
        keyText += text;
    }
    options.keys = PackageKeys::read(keyText);

    const VerifyReport report = PackageVerifier::verify(options);
    QTextStream out(stdout);
    out << "Package: " << options.package << '\n';
    out << "  adds:      " << report.added.size() << " files, " << mebibytes(report.addedBytes) << '\n';
    out << "  replaces:  " << report.replaced.size() << " files, " << mebibytes(report.replacedBytes) << '\n';
    out << "  removes:   " << report.removed.size() << " files, " << mebibytes(report.removedBytes) << '\n';
    out << "  left out:  " << report.leftOut.size() << " entries\n";
    printList(out, "left out:", report.leftOut);
    for (const QString &note : report.notes)
        out << "  note:      " << note << '\n';
    if (report.rehearsed) {
        out << "  applied to a copy of the installed release: " << report.filesCompared
            << " files equal the new release\n";
        printList(out, "not compared:", report.notCompared);
    }
    out.flush();
    if (!report.ok()) {
        for (const QString &refusal : report.problems)
            err << "quillFern-pack verify: " << refusal << '\n';
        return Refused;
    }
    out << "The package may be shipped.\n";
    return Done;
}
