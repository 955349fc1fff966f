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

// Events that support and the tests look for, each under a category of its own
// below its room's: its name is the event's stable key, whatever the sentence
// says. A line naming a file names it in double quotes.
Q_DECLARE_LOGGING_CATEGORY(lcAreaLinkRemoved)      // .link-removed: a link stood for the updater's folder
Q_DECLARE_LOGGING_CATEGORY(lcFilesNoFlush)         // .no-flush: the file system cannot flush files
Q_DECLARE_LOGGING_CATEGORY(lcJournalRecovering)    // .recovering: an earlier run is being rolled back
Q_DECLARE_LOGGING_CATEGORY(lcJournalBlocked)       // .blocked: an earlier run's originals stay set aside
Q_DECLARE_LOGGING_CATEGORY(lcJournalRecordSkipped) // .record-skipped: a record leads out of bounds
Q_DECLARE_LOGGING_CATEGORY(lcJournalVolumeAway)    // .volume-away: set-aside originals are not reachable
Q_DECLARE_LOGGING_CATEGORY(lcLockTakenOver)        // .taken-over: a lock no updater holds is taken over
Q_DECLARE_LOGGING_CATEGORY(lcLockBusy)             // .busy: another updater holds the installation
Q_DECLARE_LOGGING_CATEGORY(lcStopWithoutCommand)   // .without-command: the stop command gave no answer
Q_DECLARE_LOGGING_CATEGORY(lcStopEndingHere)       // .ending-here: processes are ended by the updater
Q_DECLARE_LOGGING_CATEGORY(lcStopNotStarted)       // .product-not-started: the product could not be started
Q_DECLARE_LOGGING_CATEGORY(lcStopSelfStopEnded)    // .self-stop-ended: the updater ends where it stands
Q_DECLARE_LOGGING_CATEGORY(lcRunNotWritable)       // .not-writable: the installation cannot be written
Q_DECLARE_LOGGING_CATEGORY(lcRunPackageChecked)    // .package-checked: the package matched its SHA256SUMS
Q_DECLARE_LOGGING_CATEGORY(lcRunPackageSigned)     // .package-signed: the key and trusted comment it bears
Q_DECLARE_LOGGING_CATEGORY(lcRunPackageRefused)    // .package-refused: none of the package is applied
Q_DECLARE_LOGGING_CATEGORY(lcRunNotCommitted)    // .not-committed: the try's changes could not be made final
Q_DECLARE_LOGGING_CATEGORY(lcRunPackageKept)     // .package-kept: the package folder stays after a success
Q_DECLARE_LOGGING_CATEGORY(lcRunNotDeleted)      // .not-deleted: a file the deletion list names stays
Q_DECLARE_LOGGING_CATEGORY(lcRunLeftOut)         // .left-out: a payload entry was not copied
Q_DECLARE_LOGGING_CATEGORY(lcRunCopyFailed)      // .copy-failed: the payload copy failed
Q_DECLARE_LOGGING_CATEGORY(lcRunRolledBack)      // .rolled-back: a try's changes were undone
Q_DECLARE_LOGGING_CATEGORY(lcRunRollbackStopped) // .rollback-stopped: a try's changes stay in part
