#include <QTextStream>
#include <cstdio>

#include "commandwords.h"
#include "packagemaker.h"
#include "packcommands.h"
#include "progressmeter.h"
#include "reporttext.h"

namespace {

using ReportText::mebibytes;

// A few names of a long list, and how many more.
QString firstOf(const QStringList &names)
{
    constexpr int Shown = 5;
    QString text = QLatin1Char('"') + names.mid(0, Shown).join(QStringLiteral("\", \"")) + QLatin1Char('"');
    if (names.size() > Shown)
        text += QStringLiteral(" and %1 more").arg(names.size() - Shown);
    return text;
}

void printReport(QTextStream &out, const QString &package, const MakeReport &report)
{
    out << "Package: " << package << '\n';
    out << "  added:     " << report.added.size() << " files, " << mebibytes(report.addedBytes) << '\n';
    out << "  replaced:  " << report.replaced.size() << " files, " << mebibytes(report.replacedBytes) << '\n';
    out << "  removed:   " << report.removed.size() << " files, named in del.xml\n";
    out << "  unchanged: " << report.unchanged << " files\n";
    if (!report.leftOut.isEmpty()) {
        QStringList names;
        for (const MakeReport::LeftOut &entry : report.leftOut)
            names << QStringLiteral("%1 (%2 release: %3)")
                         .arg(entry.path, entry.inNewRelease ? QStringLiteral("new") : QStringLiteral("old"),
                              entry.reason);
        out << "  left out:  " << report.leftOut.size()
            << " entries the updater never installs: " << firstOf(names) << '\n';
    }
    for (const QString &link : report.links)
        out << "  link:      " << link << '\n';
    if (!report.droppedFolders.isEmpty())
        out << "  folders the new release drops stay, emptied (del.xml removes files only): "
            << firstOf(report.droppedFolders) << '\n';
    out << "  package:   " << mebibytes(report.packageBytes) << '\n';
}

} // namespace

int PackCommands::make(const QStringList &arguments)
{
    QTextStream err(stderr);
    const CommandWords words(arguments,
                             {QStringLiteral("--from"), QStringLiteral("--to"), QStringLiteral("--out")},
                             {QStringLiteral("--full"), QStringLiteral("--quiet")});
    QString problem = words.problem();
    if (problem.isEmpty() && !words.positional().isEmpty())
        problem = QStringLiteral("unexpected \"%1\"").arg(words.positional().first());
    for (const char *needed : {"--from", "--to", "--out"}) {
        if (problem.isEmpty() && words.value(QLatin1String(needed)).isEmpty())
            problem = QStringLiteral("%1 is needed").arg(QLatin1String(needed));
    }
    if (!problem.isEmpty())
        return badUsage(Command::Make, problem);
    PackageMaker::Options options;
    options.from = words.value(QStringLiteral("--from"));
    options.to = words.value(QStringLiteral("--to"));
    options.out = words.value(QStringLiteral("--out"));
    options.full = words.has(QStringLiteral("--full"));
    const bool quiet = words.has(QStringLiteral("--quiet"));
    MakeReport report;
    {
        ProgressMeter meter(QStringLiteral("hashing and copying"), quiet);
        report =
            PackageMaker::make(options, [&meter](qint64 done, qint64 total) { meter.update(done, total); });
    }
    if (!report.ok()) {
        for (const QString &refusal : qAsConst(report.refusals))
            err << "quillFern-pack make: " << refusal << '\n';
        err << "quillFern-pack make: no package made\n";
        return Refused;
    }
    if (!quiet) {
        QTextStream out(stdout);
        printReport(out, options.out, report);
    }
    return Done;
}
