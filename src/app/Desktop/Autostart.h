// Starting with the desktop session: an entry in the user's autostart folder
// (freedesktop Desktop Application Autostart), written when the user asks
// for it and removed when they no longer do. Main thread.
#pragma once

#include <QString>

namespace Autostart {

// ~/.config/autostart/org.traytape.TrayTape.desktop (XDG_CONFIG_HOME respected).
QString entryPath();
// An entry is there and not switched off by a desktop's own settings.
bool isEnabled();
// Writes the entry, starting this very program, or removes it. False when
// the file could not be written or removed.
bool setEnabled(bool enabled);
// One argument of an Exec line, quoted as the desktop entry format asks.
QString quotedArgument(const QString& argument);

}  // namespace Autostart
