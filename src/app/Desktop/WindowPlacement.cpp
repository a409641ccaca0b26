#include "Desktop/WindowPlacement.h"

#include <QEvent>
#include <QObject>
#include <QWidget>

namespace {

class RememberPosition : public QObject {
public:
    explicit RememberPosition(QWidget* window) : QObject(window), window_(window) { }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        // Where the window manager or the user put it is only the window's
        // present position; asking for it explicitly makes it stick when the
        // window is mapped again.
        if (watched == window_ && event->type() == QEvent::Hide && !event->spontaneous())
            window_->move(window_->pos());
        return false;
    }

private:
    QWidget* window_;  // the parent
};

}  // namespace

namespace WindowPlacement {

void leaveToWindowManager(QWidget* window)
{
    window->setAttribute(Qt::WA_Moved, false);
    window->installEventFilter(new RememberPosition(window));
}

}  // namespace WindowPlacement
