#include "Tray/TrayIcons.h"

#include "Desktop/RedrawnIcon.h"
#include "Desktop/Resources.h"
#include "Desktop/YUp.h"

#include <QBoxLayout>
#include <QCursor>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QToolButton>

#include <algorithm>

namespace {
// The record icon of a take: the cassette with a red recording dot, or faded
// behind a pause badge, or behind a clock face while a take waits for its
// time, each big enough to read in a 22-pixel tray slot.
QList<QImage> drawRecordIcon(RecordSession::State state, const QList<int>& pixelSizes)
{
    const bool scheduled = state == RecordSession::State::Idle;
    const bool paused = state == RecordSession::State::Paused || scheduled;
    const QList<QImage> cassettes = resources::drawn(QStringLiteral("RecordMenu"), pixelSizes);
    const QColor outline(0x33, 0x33, 0x3a);
    QList<QImage> images;
    for (qsizetype i = 0; i < pixelSizes.size() && i < cassettes.size(); ++i) {
        const int pixels = pixelSizes[i];
        QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        const double s = pixels;
        yup::Painter painter(&image, s);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setOpacity(paused ? 0.55 : 1.0);
        painter.drawImageUpright(QRectF(0, 0, s, s), cassettes[i]);
        painter.setOpacity(1.0);
        const QPointF centre(0.66 * s, 0.34 * s);
        const double radius = 0.32 * s;
        painter.setPen(QPen(outline, std::max(1.0, s / 22)));
        // Red reads as "on air" on any panel colour; the outline keeps it apart from a red panel.
        painter.setBrush(scheduled ? QColor(Qt::white) : paused ? QColor(0xf5, 0xa6, 0x23) : QColor(0xe5, 0x20, 0x20));
        if (state == RecordSession::State::Armed) {
            // Waiting for sound: the red ring without its fill, so it reads as ready, not on air.
            painter.setBrush(Qt::NoBrush);
            painter.drawEllipse(centre, radius, radius);
            painter.setPen(QPen(QColor(0xe5, 0x20, 0x20), std::max(2.0, s / 9)));
            painter.drawEllipse(centre, radius * 0.72, radius * 0.72);
        } else {
            painter.drawEllipse(centre, radius, radius);
        }
        if (scheduled) {  // a clock face: the take waits for its time
            painter.setPen(QPen(outline, std::max(1.5, 0.09 * s), Qt::SolidLine, Qt::RoundCap));
            painter.drawLine(centre, centre + QPointF(0, 0.22 * s));
            painter.drawLine(centre, centre + QPointF(0.16 * s, 0));
        } else if (paused) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(outline);
            const double barWidth = std::max(2.0, 0.1 * s), barHeight = 0.3 * s, gap = std::max(1.5, 0.07 * s);
            for (const double left : {centre.x() - gap / 2 - barWidth, centre.x() + gap / 2})
                painter.drawRect(QRectF(left, centre.y() - barHeight / 2, barWidth, barHeight));
        }
        painter.end();
        images.append(image);
    }
    return images;
}

std::function<bool()>& systemTrayProbe()
{
    static std::function<bool()> probe = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    return probe;
}
}  // namespace

TrayIcons::TrayIcons() = default;
TrayIcons::~TrayIcons() = default;

void TrayIcons::setProbe(std::function<bool()> probe)
{
    systemTrayProbe() = probe ? std::move(probe) : [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
}

bool TrayIcons::trayAvailable()
{
    return systemTrayProbe()();
}

QToolButton* TrayIcons::addPanelMenuButton(QWidget* panel, QBoxLayout* row, QMenu* menu)
{
    // Without a tray the status menu has no icon to hang from; the panel carries it instead.
    auto* button = new QToolButton(panel);
    button->setObjectName(QStringLiteral("btnPanelMenu"));
    button->setText(tr("Menu"));
    button->setToolTip(tr("TrayTape menu"));
    button->setIcon(QIcon::fromTheme(QStringLiteral("open-menu-symbolic")));
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    button->setPopupMode(QToolButton::InstantPopup);
    button->setMenu(menu);
    button->setVisible(false);
    row->addWidget(button, 0, Qt::AlignTop);
    return button;
}

void TrayIcons::addRecordIcon(QMenu* menu)
{
    // Opens the menu on any click, as a menu-bar item does.
    recordIcon_ = std::make_unique<QSystemTrayIcon>(resources::scalableIcon(QStringLiteral("RecordMenu")));
    recordIcon_->setToolTip(QStringLiteral("TrayTape"));
    recordIcon_->setContextMenu(menu);
    QObject::connect(recordIcon_.get(), &QSystemTrayIcon::activated, recordIcon_.get(),
        [menu](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger && !menu->isVisible())
                menu->popup(QCursor::pos());
        });
}

void TrayIcons::addLevelIcon(QMenu* menu, std::function<void()> clicked)
{
    levelIcon_ = std::make_unique<QSystemTrayIcon>();
    levelIcon_->setToolTip(tr("TrayTape input level"));
    levelIcon_->setContextMenu(menu);
    QObject::connect(levelIcon_.get(), &QSystemTrayIcon::activated, levelIcon_.get(),
        [clicked = std::move(clicked)](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger)
                clicked();
        });
}

void TrayIcons::showRecordState(RecordSession::State state, const QList<int>& pixelSizes, bool scheduled)
{
    scheduled = scheduled && state == RecordSession::State::Idle;
    // Pushed only when the state changes, so the tray is not handed a new icon for nothing.
    if (!recordIcon_ || shownState_ == std::pair{state, scheduled})
        return;
    recordIcon_->setIcon(state == RecordSession::State::Idle && !scheduled
            ? resources::scalableIcon(QStringLiteral("RecordMenu"))
            : redrawnIcon(drawRecordIcon(state, pixelSizes)));
    shownState_ = std::pair{state, scheduled};
}

void TrayIcons::showToolTip(const QString& text)
{
    if (recordIcon_ && recordIcon_->toolTip() != text)
        recordIcon_->setToolTip(text);
}

void TrayIcons::showLevel(QList<QImage> images)
{
    if (!levelIcon_ || images == levelImages_)
        return;
    // Not an icon of pixmaps: Qt would cache every one the tray draws, and each push is new.
    levelIcon_->setIcon(redrawnIcon(images));
    levelImages_ = std::move(images);
    ++levelPushes_;
}
