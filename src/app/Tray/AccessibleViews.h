// What a screen reader is told of the drawn views. To Qt's accessibility
// each of them is a plain QWidget, a nameless "client" area; these give the
// library list and its rows, the trim bar and the level meter a role, a name
// and, where they show one, a value. The rows' delete buttons are standard
// buttons and are named by their row.
//
// Main thread. Installed once at start-up, before the first window is shown;
// the interfaces are made and owned by Qt's accessibility cache.
#pragma once

void installAccessibleViews();
