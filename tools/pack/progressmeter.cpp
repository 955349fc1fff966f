#include "progressmeter.h"

#include <QMutexLocker>
#include <QTextStream>

#include "reporttext.h"
#include "terminal.h"

namespace {

// Silent for work this short, and no more often than this.
constexpr qint64 FirstShownAfterMs = 1000;
constexpr qint64 ShownEveryMs = 250;

} // namespace

ProgressMeter::ProgressMeter(const QString &what, bool quiet, FILE *stream)
    : what(what)
    , stream(stream)
    , shown(!quiet && Terminal::isTerminal(stream))
{
    started.start();
}

ProgressMeter::~ProgressMeter()
{
    if (lineOpen)
        QTextStream(stream) << '\n';
}

void ProgressMeter::update(qint64 done, qint64 total)
{
    if (!shown || total <= 0)
        return;
    QMutexLocker locked(&lock);
    const qint64 elapsed = started.elapsed();
    if (elapsed < FirstShownAfterMs ||
        (lastShownAt >= 0 && elapsed - lastShownAt < ShownEveryMs && done < total))
        return;
    lastShownAt = elapsed;
    QString line = QStringLiteral("%1: %2% (%3 of %4)")
                       .arg(what)
                       .arg(done * 100 / total)
                       .arg(ReportText::mebibytes(done), ReportText::mebibytes(total));
    if (done > 0 && done < total)
        line += QStringLiteral(", about %1 s left").arg((elapsed * (total - done) / done + 999) / 1000);
    QTextStream(stream) << '\r' << line << QStringLiteral("\x1b[K");
    lineOpen = true;
}
