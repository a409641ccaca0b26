// One row of the library list: draws one recording (artwork, name, length),
// shows whether it is the chosen row, carries a delete button and turns
// clicks into calls on its delegate, the library window. The library
// creates, fills, places and selects rows; a row never selects itself.
// Main thread only. Owned by the list view it is a child of; the delegate is
// not owned.
#pragma once

#include <QImage>
#include <QString>
#include <QVariantMap>
#include <QWidget>

#include <array>

class AudioItemView;
class QAbstractButton;
class QMenu;
namespace yup {
class Painter;
}

// Receiver of a row's requests. Every operation is optional: the row calls
// one (or offers it in its menu) only when respondsTo() answers true for it.
class AudioItemViewDelegate {
public:
    enum class Operation { ChooseTheAudioItem, DeleteChooseAudioItem, MoveToTrash, AddRecordings };

    virtual ~AudioItemViewDelegate() = default;
    // A receiver that implements only some operations answers false for the others.
    virtual bool respondsTo(Operation) const { return true; }
    // The row asks to become the chosen one.
    virtual void chooseTheAudioItem(AudioItemView*) { }
    // The chosen row asks to be removed.
    virtual void deleteChooseAudioItem() { }
    // The row's file is to go to the trash, and the row with it.
    virtual void moveToTrash(AudioItemView*) { }
    // Files the user picks are to be listed.
    virtual void addRecordings() { }
};

class AudioItemView : public QWidget {
    Q_OBJECT
public:
    // One horizontal edge line, in view coordinates (origin bottom-left, y up).
    struct EdgeLine {
        double grey;
        double y;
    };

    // frame is the widget geometry in the parent. The delete button is placed
    // for this frame's width and stays where it is if the row is resized.
    explicit AudioItemView(const QRect& frame, QWidget* parent = nullptr);

    QString name() const { return name_; }
    // Also names the delete button for a screen reader.
    void setName(const QString& name);
    QImage imageArt() const { return imageArt_; }
    void setImageArt(const QImage& image) { imageArt_ = image; }
    QString timeStr() const { return timeStr_; }
    void setTimeStr(const QString& timeStr) { timeStr_ = timeStr; }
    // The library item shown ("AudioPath", "AudioLength"); empty for none.
    QVariantMap dicObject() const { return dicObject_; }
    void setDicObject(const QVariantMap& item) { dicObject_ = item; }
    // Set by the library only; it asks for the redraw itself.
    bool isChoose() const { return isChoose_; }
    void setIsChoose(bool choose) { isChoose_ = choose; }
    AudioItemViewDelegate* delegate() const { return delegate_; }
    // Not owned; must outlive the row or be cleared first.
    void setDelegate(AudioItemViewDelegate* delegate) { delegate_ = delegate; }

    // The item's "AudioPath"; a null string when there is none.
    QString audioPath() const;

    // Forward to the delegate when it answers.
    void chooseTheAudioItem(AudioItemView* sender);
    // The delete button: select this row first if needed, then ask for the deletion.
    void deleteChooseAudioItem();
    // Reveals the item's file in the file manager.
    void showInFinder();

    QAbstractButton* deleteButton() const { return btnDelete_; }

    // Layout in view coordinates, for a row of the given size.
    static QRectF deleteButtonFrame(double rowWidth);
    static QRectF artworkRect(double rowHeight);
    static QPointF nameOrigin();  // the text line's bottom-left corner
    static QPointF timeOrigin();
    // Drawn in this order; the height is truncated to whole points first.
    static std::array<EdgeLine, 4> edgeLines(double rowHeight);

    // The context menu, as a right click, the Menu key or Shift+F10 shows it
    // (owned by the row, deleted when closed).
    QMenu* makeContextMenu();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    void mouseDown();
    void rightMouseDown(const QPoint& globalPos);
    void drawShadowedText(yup::Painter& painter, QPointF lineOrigin, const QString& text) const;

    QAbstractButton* btnDelete_;  // a child of the row
    QRectF btnDeleteFrame_;       // in view coordinates, fixed at construction
    QString name_;
    QImage imageArt_;
    QString timeStr_;
    QVariantMap dicObject_;
    bool isChoose_ = false;
    AudioItemViewDelegate* delegate_ = nullptr;  // not owned
};
