// The flat dark-grey background of the library list; the rows are its
// children. A click on empty background ends the editing of a text field.
// It is the list's stop in the window's Tab order: while it holds the
// focus, the chosen row shows the ring (or, with none chosen, the list's
// visible part does).
// Main thread only. Created by the window's interface file and owned by its
// parent widget.
#pragma once

#include <QWidget>

class AudioLibBackView : public QWidget {
    Q_OBJECT
public:
    explicit AudioLibBackView(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
};
