// The two tray icons: the record icon, which opens the status menu and shows
// whether a take runs or is paused, and the level icon, redrawn from the meter. Also
// the recording panel's menu button, the way in when there is no tray.
//
// Main thread only. AppDelegate owns the one TrayIcons; the icons exist only
// once launching has added them, and until then showing a state does nothing.
#pragma once

#include "AudioRecord/RecordSession.h"

#include <QCoreApplication>
#include <QImage>
#include <QList>

#include <functional>
#include <memory>
#include <optional>
#include <utility>

class QBoxLayout;
class QMenu;
class QSystemTrayIcon;
class QToolButton;
class QWidget;

class TrayIcons {
    Q_DECLARE_TR_FUNCTIONS(TrayIcons)

public:
    TrayIcons();
    ~TrayIcons();

    // Whether a system tray is there to hold the icons (tests pin it); null restores Qt's answer.
    static void setProbe(std::function<bool()> probe);
    static bool trayAvailable();
    // Hidden until the tray is found missing; `panel` owns it, at the end of `row`.
    static QToolButton* addPanelMenuButton(QWidget* panel, QBoxLayout* row, QMenu* menu);

    // Not shown yet, so the caller can give each its first picture before it appears.
    void addRecordIcon(QMenu* menu);
    void addLevelIcon(QMenu* menu, std::function<void()> clicked);
    QSystemTrayIcon* recordIcon() const { return recordIcon_.get(); }
    QSystemTrayIcon* levelIcon() const { return levelIcon_.get(); }

    // The record icon for the session's state, drawn at `pixelSizes` while a take runs or is paused,
    // or while idle with a take scheduled to start.
    void showRecordState(RecordSession::State state, const QList<int>& pixelSizes, bool scheduled = false);
    // The record icon's tooltip; the tray is handed only a changed text.
    void showToolTip(const QString& text);
    // The meter at each tray size.
    void showLevel(QList<QImage> images);
    int levelPushes() const { return levelPushes_; }

private:
    std::unique_ptr<QSystemTrayIcon> recordIcon_;
    std::unique_ptr<QSystemTrayIcon> levelIcon_;
    QList<QImage> levelImages_;  // as last pushed
    int levelPushes_ = 0;
    // What the record icon shows (the state, and a scheduled start while idle); none before the first picture.
    std::optional<std::pair<RecordSession::State, bool>> shownState_;
};
