#pragma once

#include <QString>

// Whole runs of an installed updater for the benchmarks: the installation's
// bin/ with the updater and stand-ins, and when the product was started again.

// How long a whole run took: until the product was started again, and until the updater ended.
struct RunTimes
{
    double relaunch = -1;
    double exit = -1;
};

// Seconds since the epoch, as the product stand-in notes its start.
double wallSeconds();

// The updater `updater` in `root`/bin, with stand-ins for the product and the
// stop program: the product notes when it was started; the stop program ends nothing.
bool installUpdater(const QString &root, const QString &updater);

// The product stand-in's start time; it may still be writing it when the updater has ended.
double readStartNote(const QString &path);
