#include "productprocesses.h"

#include <QFileInfo>
#include <QProcess>

#include "platform.h"
#include "logcategories.h"

ProductProcesses::ProductProcesses(QObject *parent)
    : QObject(parent)
    , productName(Platform::productProcessName())
{
    connect(&productStop, &StopCommand::over, this, &ProductProcesses::productStopOver);
    connect(&selfStop, &StopCommand::over, this, &ProductProcesses::onSelfStopOver);
}

void ProductProcesses::stopProduct()
{
    productStop.start(productName, applicationDir, stopBound);
}

void ProductProcesses::startProduct()
{
    const QFileInfo program(Platform::productProgram(applicationDir));
    if (QProcess::startDetached(program.filePath(), QStringList()))
        return;
    const QString reason = !program.exists()         ? QStringLiteral("there is no such file")
                           : !program.isExecutable() ? QStringLiteral("it is not executable")
                                                     : QStringLiteral("the system refused to start it");
    qCDebug(lcStopNotStarted).noquote()
        << QStringLiteral("Could not start the product \"%1\": %2").arg(program.filePath(), reason);
}

void ProductProcesses::stopOtherUpdaters()
{
    selfStop.startEndingProgram(Platform::updaterProgram(applicationDir), stopBound);
}

void ProductProcesses::onSelfStopOver(StopCommand::Ending ending)
{
    QString reason;
    if (ending == StopCommand::Ending::BoundedOut)
        reason = QStringLiteral("did not end this installation's other updaters within %1 s")
                     .arg(stopBound / 1000);
    else if (ending == StopCommand::Ending::Failed)
        reason = QStringLiteral("could not end every other updater of this installation");
    else if (ending == StopCommand::Ending::NoCommand)
        reason = QStringLiteral("could not read the system's process list");
    if (!reason.isEmpty())
        qCDebug(lcStopSelfStopEnded).noquote() << "Ending the updater here: the self-stop" << reason;
    emit otherUpdatersStopped();
}
