#include "logcategories.h"

Q_LOGGING_CATEGORY(lcArea, "quillfern.area")
Q_LOGGING_CATEGORY(lcJournal, "quillfern.journal")
Q_LOGGING_CATEGORY(lcFiles, "quillfern.files")
Q_LOGGING_CATEGORY(lcLock, "quillfern.lock")
Q_LOGGING_CATEGORY(lcStartup, "quillfern.startup")
Q_LOGGING_CATEGORY(lcStop, "quillfern.stop")
Q_LOGGING_CATEGORY(lcRun, "quillfern.run")
