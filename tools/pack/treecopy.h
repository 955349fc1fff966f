#pragma once

#include <QString>

#include "outcome.h"

// A faithful copy of a folder for a rehearsal: files with their permissions,
// folders, hidden entries, and symbolic links as links holding the same
// target. Entries of other kinds (pipes, sockets, devices) are passed over.
namespace TreeCopy {

Outcome copy(const QString &from, const QString &to);

} // namespace TreeCopy
