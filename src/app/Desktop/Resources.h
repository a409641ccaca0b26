// The application's own resources, loaded by the names the views use
// ("RecordMenu.png", "Record Help.pdf"). Images are rendered at build time
// from the SVG sources in resources/images. Main thread.
#pragma once

#include <QIcon>
#include <QImage>
#include <QList>
#include <QString>

namespace resources {

// The image of that name, or a null image when there is none.
QImage image(const QString& name);
// The same as an icon, with its double-density form where one exists.
QIcon icon(const QString& name);
// The pixel sizes trays and window lists ask for, each also at double density.
extern const QList<int> kIconPixels;
// The vector image of that name ("RecordMenu") drawn at each of `pixels`,
// square; empty when there is none.
QList<QImage> drawn(const QString& name, const QList<int>& pixels = kIconPixels);
// The same as an icon that is sharp at every size a desktop asks for.
QIcon scalableIcon(const QString& name);
// The resource path (":/…") of a document such as "Record Help.pdf".
QString documentPath(const QString& name);

}  // namespace resources
