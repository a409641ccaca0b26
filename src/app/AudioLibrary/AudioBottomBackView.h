// The mid-grey strip at the bottom of the library window, with a two-tone
// edge line along its top. A click on it ends the editing of a text field.
// Main thread only. Created by the window's interface file and owned by its
// parent widget.
#pragma once

#include <QWidget>

#include <array>

class AudioBottomBackView : public QWidget {
    Q_OBJECT
public:
    // One horizontal edge line, in view coordinates (origin bottom-left, y up).
    struct EdgeLine {
        double grey;
        double y;
    };

    explicit AudioBottomBackView(QWidget* parent = nullptr);

    // Drawn in this order; the height is truncated to whole points first.
    static std::array<EdgeLine, 2> edgeLines(double viewHeight);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
};
