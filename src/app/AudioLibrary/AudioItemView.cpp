#include "AudioLibrary/AudioItemView.h"

#include "Desktop/FocusRing.h"
#include "Desktop/Resources.h"
#include "Desktop/Workspace.h"
#include "Desktop/Contrast.h"
#include "Desktop/YUp.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFontMetricsF>
#include <QMenu>
#include <QMouseEvent>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

constexpr double kTextSize = 15.0;
constexpr double kShadowBlur = 4.0;  // blur radius in points; the Gaussian's deviation is half of it
const QPointF kShadowOffset(0.5, 0.5);

QColor grey(double level)
{
    return QColor::fromRgbF(float(level), float(level), float(level));
}

QFont textFont()
{
    QFont font = QApplication::font();
    // Sized in view units, like every other number of the row's layout.
    font.setPixelSize(int(kTextSize));
    return font;
}

// Blurs an alpha mask in place with a separable Gaussian.
void blurAlpha(QImage& mask, double sigma)
{
    const int radius = int(std::ceil(3 * sigma));
    std::vector<float> kernel(size_t(2 * radius + 1));
    float sum = 0;
    for (int i = -radius; i <= radius; ++i)
        sum += kernel[size_t(i + radius)] = float(std::exp(-(i * i) / (2 * sigma * sigma)));
    for (float& k : kernel)
        k /= sum;

    const int w = mask.width();
    const int h = mask.height();
    std::vector<float> line(size_t(std::max(w, h)));
    const auto pass = [&](int count, int length, auto at) {
        for (int c = 0; c < count; ++c) {
            for (int i = 0; i < length; ++i) {
                float v = 0;
                for (int k = -radius; k <= radius; ++k) {
                    const int j = i + k;
                    if (j >= 0 && j < length)
                        v += kernel[size_t(k + radius)] * at(c, j);
                }
                line[size_t(i)] = v;
            }
            for (int i = 0; i < length; ++i)
                at(c, i) = uchar(std::clamp(std::lround(line[size_t(i)]), 0L, 255L));
        }
    };
    pass(h, w, [&](int y, int x) -> uchar& { return mask.scanLine(y)[x]; });
    pass(w, h, [&](int x, int y) -> uchar& { return mask.scanLine(y)[x]; });
}

// The flat, image-only delete button: no bezel, dimmed while held down.
class DeleteButton : public QAbstractButton {
public:
    explicit DeleteButton(QWidget* parent) : QAbstractButton(parent)
    {
        setIcon(resources::icon(QStringLiteral("Delete.png")));
        // A click on it leaves the keyboard focus where it was; the chosen
        // row's is reached with Tab (the list sets which).
        setFocusPolicy(Qt::NoFocus);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        if (isDown())
            painter.setOpacity(0.6);
        // At the image's own size, centred; shrunk only if it were larger than the button.
        icon().paint(&painter, rect(), Qt::AlignCenter);
        if (hasFocus())
            FocusRingStyle::paint(painter, this, rect());
    }
};

}  // namespace

AudioItemView::AudioItemView(const QRect& frame, QWidget* parent)
    : QWidget(parent), btnDelete_(new DeleteButton(this)), btnDeleteFrame_(deleteButtonFrame(frame.width()))
{
    setGeometry(frame);
    setAttribute(Qt::WA_OpaquePaintEvent);
    // Right presses come to mousePressEvent and never go up to the list.
    setContextMenuPolicy(Qt::PreventContextMenu);
    btnDelete_->setGeometry(yup::toWidget(btnDeleteFrame_, height()).toRect());
    connect(btnDelete_, &QAbstractButton::clicked, this, &AudioItemView::deleteChooseAudioItem);
    btnDelete_->setAccessibleName(tr("Remove from the list"));
}

void AudioItemView::setName(const QString& name)
{
    name_ = name;
    btnDelete_->setAccessibleName(tr("Remove %1 from the list").arg(name));
}

QString AudioItemView::audioPath() const
{
    const auto found = dicObject_.constFind(QStringLiteral("AudioPath"));
    return found == dicObject_.cend() ? QString() : found->toString();
}

QRectF AudioItemView::deleteButtonFrame(double rowWidth)
{
    return {rowWidth - 100, 10, 30, 30};
}

QRectF AudioItemView::artworkRect(double rowHeight)
{
    return {15, (rowHeight - 40) / 2, 40, 40};
}

QPointF AudioItemView::nameOrigin()
{
    return {120, 26};
}

QPointF AudioItemView::timeOrigin()
{
    return {120, 5};
}

std::array<AudioItemView::EdgeLine, 4> AudioItemView::edgeLines(double rowHeight)
{
    // Truncated first so that the half-point offsets centre each line on one row of pixels.
    const double hi = std::trunc(rowHeight);
    return {{{0.1, hi - 0.5}, {0.3, hi - 1.5}, {0.1, 0.5}, {0.3, 1.5}}};
}

void AudioItemView::chooseTheAudioItem(AudioItemView* sender)
{
    if (delegate_ && delegate_->respondsTo(AudioItemViewDelegate::Operation::ChooseTheAudioItem))
        delegate_->chooseTheAudioItem(sender);
}

void AudioItemView::deleteChooseAudioItem()
{
    if (!isChoose_)
        chooseTheAudioItem(this);
    // Only a row the library has just made the chosen one may ask for the deletion.
    if (isChoose_ && delegate_ && delegate_->respondsTo(AudioItemViewDelegate::Operation::DeleteChooseAudioItem))
        delegate_->deleteChooseAudioItem();
}

void AudioItemView::showInFinder()
{
    const QString path = audioPath();
    if (!path.isEmpty())
        Workspace::shared().revealInFileManager(path);
}

QMenu* AudioItemView::makeContextMenu()
{
    auto* menu = new QMenu(QStringLiteral("ShowInFinder"), this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    auto* show = new QAction(tr("Show in File Manager"), menu);
    connect(show, &QAction::triggered, this, &AudioItemView::showInFinder);
    menu->addAction(show);
    using Op = AudioItemViewDelegate::Operation;
    if (delegate_ && delegate_->respondsTo(Op::MoveToTrash)) {
        // The row is asked again when the item is chosen: it may have been
        // rebound to another item, or gone, while the menu was open.
        auto* trash = new QAction(tr("Move to Trash"), menu);
        connect(trash, &QAction::triggered, this, [this] {
            if (delegate_)
                delegate_->moveToTrash(this);
        });
        menu->addAction(trash);
    }
    if (delegate_ && delegate_->respondsTo(Op::AddRecordings)) {
        menu->addSeparator();
        auto* add = new QAction(tr("Add Recordings\u2026"), menu);
        connect(add, &QAction::triggered, this, [this] {
            if (delegate_)
                delegate_->addRecordings();
        });
        menu->addAction(add);
    }
    return menu;
}

void AudioItemView::paintEvent(QPaintEvent*)
{
    const double w = width();
    const double h = height();
    yup::Painter painter(this, h);

    // The chosen row in the palette's selection colour, shaded where the row's light text would not read on it.
    painter.fillRect(QRectF(0, 0, w, h),
        isChoose_ ? contrast::backgroundFor(grey(0.9), palette().color(QPalette::Active, QPalette::Highlight))
                  : grey(0.2));

    if (!imageArt_.isNull())
        painter.drawImageUpright(artworkRect(h), imageArt_);

    if (!name_.isNull())
        drawShadowedText(painter, nameOrigin(), name_);
    if (!timeStr_.isNull())
        drawShadowedText(painter, timeOrigin(), timeStr_);

    for (const EdgeLine& line : edgeLines(h)) {
        painter.setPen(QPen(grey(line.grey), 1.0, Qt::SolidLine, Qt::FlatCap));
        painter.drawLine(QPointF(0, line.y), QPointF(w, line.y));
    }
    // The list holds the keyboard focus on its chosen row.
    if (isChoose_ && parentWidget() && parentWidget()->hasFocus()) {
        painter.resetTransform();
        FocusRingStyle::paint(painter, this, rect());
    }
}

void AudioItemView::drawShadowedText(yup::Painter& painter, QPointF lineOrigin, const QString& text) const
{
    const QFont font = textFont();
    const QFontMetricsF metrics(font);
    // The origin is the bottom-left corner of the text's line, so the
    // baseline stands the font's descent above it.
    const QPointF baseline(lineOrigin.x(), lineOrigin.y() + metrics.descent());

    // The shadow: the text's shape in black, blurred, shifted right and up.
    const double sigma = kShadowBlur / 2;
    const double margin = std::ceil(3 * sigma);
    const QSizeF box(metrics.horizontalAdvance(text) + 2 * margin, metrics.ascent() + metrics.descent() + 2 * margin);
    const double dpr = painter.device()->devicePixelRatioF();
    QImage mask((box * dpr).toSize(), QImage::Format_Alpha8);
    mask.fill(0);
    {
        QPainter maskPainter(&mask);
        maskPainter.scale(dpr, dpr);
        maskPainter.setFont(font);
        maskPainter.setPen(Qt::black);
        maskPainter.drawText(QPointF(margin, margin + metrics.ascent()), text);
    }
    blurAlpha(mask, sigma * dpr);
    mask.setDevicePixelRatio(dpr);
    const QPointF shadowCorner = lineOrigin + kShadowOffset - QPointF(margin, margin);
    painter.drawImageUpright(QRectF(shadowCorner, box), mask);

    painter.setFont(font);
    painter.setPen(grey(0.9));
    painter.drawTextUpright(baseline, text);
}

void AudioItemView::resizeEvent(QResizeEvent* event)
{
    // The button keeps its frame measured from the bottom-left corner, as an
    // unflipped view without autoresizing would.
    btnDelete_->setGeometry(yup::toWidget(btnDeleteFrame_, height()).toRect());
    QWidget::resizeEvent(event);
}

void AudioItemView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        mouseDown();
    else if (event->button() == Qt::RightButton)
        rightMouseDown(event->globalPosition().toPoint());
    else
        event->ignore();
}

void AudioItemView::mouseDown()
{
    // Ends the editing of a text field; the row itself never takes the focus.
    if (QWidget* focused = window()->focusWidget())
        focused->clearFocus();
    chooseTheAudioItem(this);
}

void AudioItemView::rightMouseDown(const QPoint& globalPos)
{
    makeContextMenu()->popup(globalPos);
}
