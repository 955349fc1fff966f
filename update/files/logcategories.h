#pragma once

#include <QLoggingCategory>

// The rooms' lines in the run log, each under the room it comes from, so that
// a test or a QT_LOGGING_RULES setting tells them apart without reading the
// words. The run log writes every line the same way, whatever its category.
Q_DECLARE_LOGGING_CATEGORY(lcArea)    // quillfern.area: the backup areas and the trash
Q_DECLARE_LOGGING_CATEGORY(lcJournal) // quillfern.journal: the commit and the rollback
Q_DECLARE_LOGGING_CATEGORY(lcFiles)   // quillfern.files: the file system's calls
Q_DECLARE_LOGGING_CATEGORY(lcLock)    // quillfern.lock: the lock on the installation
Q_DECLARE_LOGGING_CATEGORY(lcStartup) // quillfern.startup: the start-up entry
Q_DECLARE_LOGGING_CATEGORY(lcStop)    // quillfern.stop: stopping the product and the other updaters
Q_DECLARE_LOGGING_CATEGORY(lcRun)     // quillfern.run: the window, the tries and the stages
