// Is there a display to open windows on? Asked before the toolkit starts, which would abort or hang.
#pragma once

namespace kestrival::app {

// Returns once one of the toolkit's platforms (QT_QPA_PLATFORM's list, else the toolkit's own
// default) can open windows, and points the toolkit at that one alone. Otherwise ends the
// process with one line on stderr saying why not and status 1, within a few seconds even when
// a display takes connections but never answers. Platforms other than X and Wayland pass
// unchecked. Leaves no connection open.
void require_display();

} // namespace kestrival::app
