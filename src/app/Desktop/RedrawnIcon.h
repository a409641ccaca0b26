// An icon for a picture that is redrawn many times a second: the level
// meter in the tray. An icon built with QIcon::addPixmap() stores every
// pixmap it paints or hands out in the process-wide QPixmapCache, keyed by
// that pixmap; each redraw is a new pixmap, so the tray's repaints (XEmbed)
// and its reads of the icon (StatusNotifierItem) add entries no one asks for
// again until the cache is full. This icon paints and hands out the images it
// was made from and keeps nothing else. Main thread.
#pragma once

#include <QIcon>
#include <QImage>
#include <QList>

// One picture drawn at several pixel sizes; every mode and state shows it.
QIcon redrawnIcon(QList<QImage> sizes);
