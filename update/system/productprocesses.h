#pragma once

#include <QObject>
#include <QString>

#include "stopcommand.h"

// The processes around a run: the product is stopped before it and started
// again after it, and at the very end the self-stop ends this installation's
// other updaters. Each stop is bounded and answered once, from the event loop.
class ProductProcesses : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ProductProcesses)

public:
    explicit ProductProcesses(QObject *parent = nullptr);

    // The folder that holds the updater and the product.
    void setApplicationDir(const QString &dir) { applicationDir = dir; }
    // How long a stop may take before the run goes on without it.
    void setStopBound(int milliseconds) { stopBound = milliseconds; }

    void stopProduct();
    // Detached and without arguments; why it could not be started is logged.
    void startProduct();
    // Ends this installation's other updaters by their executable's path while
    // the event loop runs on; another installation's, busy with their own run, are left alone.
    void stopOtherUpdaters();

signals:
    void productStopOver(StopCommand::Ending ending);
    // Where the self-stop fell short, why is logged by then.
    void otherUpdatersStopped();

private:
    void onSelfStopOver(StopCommand::Ending ending);

    QString applicationDir;
    int stopBound = 20000;
    QString productName;
    StopCommand productStop;
    StopCommand selfStop;

    friend class DlgUpdateProbe;
};
