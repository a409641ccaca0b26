#include "Desktop/Resources.h"

#include "Desktop/RedrawnIcon.h"

#include <QFile>
#include <QPainter>
#include <QSvgRenderer>

namespace resources {

QImage image(const QString& name)
{
    return QImage(QStringLiteral(":/images/") + name);
}

QIcon icon(const QString& name)
{
    // QIcon picks up "name@2x.png" beside "name.png" by itself.
    return QIcon(QStringLiteral(":/images/") + name);
}

const QList<int> kIconPixels{16, 22, 24, 32, 44, 48, 64, 96, 128};

QList<QImage> drawn(const QString& name, const QList<int>& pixels)
{
    QSvgRenderer renderer(QStringLiteral(":/vectors/") + name + QStringLiteral(".svg"));
    QList<QImage> images;
    if (!renderer.isValid())
        return images;
    for (const int size : pixels) {
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        renderer.render(&painter);
        painter.end();
        images.append(image);
    }
    return images;
}

QIcon scalableIcon(const QString& name)
{
    return redrawnIcon(drawn(name));
}

QString documentPath(const QString& name)
{
    return QStringLiteral(":/documents/") + name;
}

}  // namespace resources
