#include "Desktop/RedrawnIcon.h"

#include <QIconEngine>
#include <QPainter>
#include <QPixmap>

namespace {

class RedrawnIconEngine final : public QIconEngine {
public:
    explicit RedrawnIconEngine(QList<QImage> sizes) : sizes_(std::move(sizes)) { }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override
    {
        // On a double-density tray the larger picture is the sharp one.
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatio() : 1.0;
        const QSize pixels = rect.size() * ratio;
        const QImage& image = fitting(pixels);
        if (image.isNull())
            return;
        const QSize drawn = fitted(image, pixels);
        QRect target(QPoint(), drawn / ratio);
        target.moveCenter(rect.center());
        painter->save();
        painter->setRenderHint(QPainter::SmoothPixmapTransform, drawn != image.size());
        painter->drawImage(target, image);
        painter->restore();
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode, QIcon::State) override
    {
        const QImage& image = fitting(size);
        const QSize fit = fitted(image, size);
        if (image.isNull() || fit == image.size())
            return QPixmap::fromImage(image);
        return QPixmap::fromImage(image.scaled(fit, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    }

    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override { return fitted(fitting(size), size); }

    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override
    {
        QList<QSize> sizes;
        for (const QImage& image : sizes_)
            sizes.append(image.size());
        return sizes;
    }

    QIconEngine* clone() const override { return new RedrawnIconEngine(sizes_); }
    QString key() const override { return QStringLiteral("RedrawnIconEngine"); }
    bool isNull() override { return sizes_.isEmpty(); }

private:
    // The smallest image that covers `size`, else the largest.
    const QImage& fitting(const QSize& size) const
    {
        static const QImage none;
        const auto covers
            = [&size](const QImage& image) { return image.width() >= size.width() && image.height() >= size.height(); };
        const QImage* best = nullptr;
        for (const QImage& image : sizes_) {
            const bool better = !best || (covers(image) && (!covers(*best) || image.width() < best->width()))
                || (!covers(image) && !covers(*best) && image.width() > best->width());
            if (better)
                best = &image;
        }
        return best ? *best : none;
    }
    // An image is never enlarged, only shrunk to fit, keeping its shape.
    static QSize fitted(const QImage& image, const QSize& size)
    {
        if (image.isNull())
            return {};
        return image.width() <= size.width() && image.height() <= size.height()
            ? image.size()
            : image.size().scaled(size, Qt::KeepAspectRatio);
    }

    QList<QImage> sizes_;
};

}  // namespace

QIcon redrawnIcon(QList<QImage> sizes)
{
    return QIcon(new RedrawnIconEngine(std::move(sizes)));
}
