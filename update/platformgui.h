#pragma once

// What differs between the systems for the window: how it follows the
// screen's scale and where the application's icon comes from.
namespace Platform {

// Sets how the window follows the screen's scale; called before the
// application object exists, with the command line it will be given. The
// scale the user chose (Windows' display scale, Xft.dpi on X11) is used as it
// is, 150 % as 1.5; where none was chosen the window is drawn 1:1, never by a
// factor derived from the monitor's size.
void chooseScreenScaling(int argc, char *argv[]);

// Gives the application its icon. On Windows the executable's own IDI_ICON1
// resource already is the icon and nothing is changed; elsewhere the embedded
// ":/appicon" is set. Needs the application object and Resources::init().
void applyApplicationIcon();

} // namespace Platform
