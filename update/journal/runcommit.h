#pragma once

#include "outcome.h"

class BackupArea;

// Makes a completed run final in one step: every file the run put in place
// and every folder whose entries it changed is flushed, then the journal
// goes, and its removal is flushed too, so what is left of the area is trash
// that no later run rolls back. The area then moves into the trash.
class RunCommit
{
public:
    explicit RunCommit(BackupArea &area);

    // Fails when something could not be flushed or the journal could not be
    // removed; the run then stays one to roll back.
    Outcome commit();

private:
    Outcome flushChangesOfRun();

    BackupArea &area;
};
