// Windows placed by the window manager. A window that asks for a position
// the first time it opens (Designer files give every form one) gets the
// "user specified location" hint and lands wherever that says; without it
// the window manager finds a good place. Once the user has seen a window and
// moved it, it reopens where they left it.
//
// Main thread. The filter is a child of the window it watches.
#pragma once

class QWidget;

namespace WindowPlacement {

// Call before the window is first shown.
void leaveToWindowManager(QWidget* window);

}  // namespace WindowPlacement
