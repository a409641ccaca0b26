#include "Desktop/Resources.h"

#include <QFile>

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

QString documentPath(const QString& name)
{
    return QStringLiteral(":/documents/") + name;
}

}  // namespace resources
