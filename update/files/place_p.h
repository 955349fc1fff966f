#pragma once

#include <QString>

#include <functional>

#include "place.h"

// The per-system half of Place: what the file system says about one path.
struct PlaceProbe
{
    static Place probe(const QString &path, bool followLast);
    // Whether the folder `path` leads to is the root of its volume (a whole
    // file system), not a folder inside one.
    static bool showsWholeVolume(const QString &path);
    static bool keepsIdentities(const QString &path);

    static Place make(const QString &path) // nothing there
    {
        Place place;
        place.spelled = path;
        return place;
    }
    // Nothing found, for a reason other than absence.
    static void leaveUnknown(Place &place, unsigned long error) { place.unknown = error; }
    static void fill(Place &place, Place::LinkKind kind, Place::Type target, const Place::Identity &id,
                     quint32 links = 1)
    {
        place.present = true;
        place.kind = kind;
        place.target = target;
        place.id = id;
        place.names = links;
    }
};

// For tests of the Windows rules that Wine cannot show: Wine makes no
// junctions, so the reparse tag of a path can be given here instead. The
// source answers true, with the tag, for the paths it stands in for. Only
// the Windows build reads it.
namespace PlaceSeam {
using ReparseTagSource = std::function<bool(const QString &path, quint32 *tag)>;
void setReparseTagSource(ReparseTagSource source);
} // namespace PlaceSeam
