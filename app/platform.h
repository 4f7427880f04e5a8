#ifndef PS_PLATFORM_H
#define PS_PLATFORM_H

#include <QString>

// What the window does differently per platform; one source file per
// platform, chosen by CMake.
namespace Ps::Platform {

// Asks Qt to scale the whole window with the display's scaling; before the
// application object exists.
void scaleWithDisplay();

// Chooses the application's fonts once, before the window is made. The fixed
// layout was measured in Windows' dialog font at 8 points: Windows keeps its
// own; elsewhere a font with the same metrics stands in for it.
void useLayoutFont();

// Who may write the local machine's stores, as a user would name them.
QString privilegedAccount();

} // namespace Ps::Platform

#endif
