#pragma once

#include <QString>

// Everything that differs between Windows and the other platforms: how the
// product and the updater are stopped by name, what the product's
// executable is called, and where the window icon comes from. The rest of
// the updater is plain Qt.
namespace Platform {

// Process names as the system reports them; the executables' base names.
QString productProcessName();
QString updaterProcessName();

// The command that ends every running process called `processName`, as one
// string with quoted parts. On Windows this is the system's "tskill"; elsewhere
// it is our own "tskill" that lies beside the updater in `applicationDir`.
QString stopCommand(const QString &applicationDir, const QString &processName);

// The command that starts the product from `applicationDir`: the whole
// executable path in double quotes, so folders with spaces work.
QString productLaunchCommand(const QString &applicationDir);

// Gives the application its icon. On Windows the executable's own IDI_ICON1
// resource already is the icon and nothing is changed; elsewhere the embedded
// ":/appicon" is set. Needs the application object and Resources::init().
void applyApplicationIcon();

} // namespace Platform
