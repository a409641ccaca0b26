// The live level meter: ten columns of nine LED cells showing ten successive
// levels as one page, with a held peak cell per column. At its own size
// (160 x 21) it draws two identical groups side by side; for a tray icon it
// draws one group narrowed into a square of 22 or 24 pixels.
//
// Main thread only. Its owner (the application controller, or the recording
// panel through its Qt parent) feeds it a level every 1/30 s and asks for a
// redraw; each redraw, full-size or compact, advances the peak hold once.
#pragma once

#include <QImage>
#include <QList>
#include <QWidget>

#include <array>
#include <optional>
#include <utility>

namespace yup {
class Painter;
}

class AudioWaveView : public QWidget {
    Q_OBJECT

public:
    static constexpr int kColumns = 10;
    static constexpr int kCells = 9;
    static constexpr int kWidth = 160;
    static constexpr int kHeight = 21;

    // What one redraw hands to drawWave() for a column.
    struct Column {
        float value = 0;  // in cells; may be a half
        float peak = 0;   // in cells, as held before this redraw
    };
    using Columns = std::array<Column, kColumns>;

    // The vertical placing of a column's cells: cell k spans
    // [bottom + pitch * k, bottom + pitch * k + height], y-up.
    struct CellLayout {
        float bottom = 1;
        float pitch = 2;
        float height = 1;
    };
    static constexpr CellLayout kFullCells{1, 2, 1};

    // Where the compact form puts its ten columns in a square icon of `pixels`.
    struct CompactGeometry {
        int columnWidth = 1;
        int gap = 1;
        int left = 0;
        CellLayout cells;
    };

    explicit AudioWaveView(QWidget* parent = nullptr);

    void appendBuildInAudioWave(float level);
    // The second trace is part of the interface but nothing feeds it.
    void appendComputerAudioWave(float level);

    const std::optional<QList<float>>& buildInAudioWave() const { return _buildInAudioWave; }
    void setBuildInAudioWave(std::optional<QList<float>> page) { _buildInAudioWave = std::move(page); }
    const QList<float>& buildInAudioWaveAppend() const { return _buildInAudioWaveAppend; }
    void setBuildInAudioWaveAppend(QList<float> values) { _buildInAudioWaveAppend = std::move(values); }
    const std::optional<QList<float>>& computerAudioWave() const { return _computerAudioWave; }
    void setComputerAudioWave(std::optional<QList<float>> page) { _computerAudioWave = std::move(page); }
    const QList<float>& computerAudioWaveAppend() const { return _computerAudioWaveAppend; }
    void setComputerAudioWaveAppend(QList<float> values) { _computerAudioWaveAppend = std::move(values); }

    // Geometry of the full form, in view (y-up) units, for a view W wide.
    static float columnWidth(double viewWidth);
    static float leftGroupX(int column, float columnWidth);
    static float rightGroupX(int column, float columnWidth, double viewWidth);
    static QRectF cellRect(int cell, float x, float columnWidth, const CellLayout& layout = kFullCells);
    static CompactGeometry compactGeometry(int pixels);
    // The plate the compact form draws its cells on.
    static QColor plateColour();

    // One redraw of the tray form: advances the peak hold and returns the
    // compact drawing at each of the given pixel sizes, from the same state.
    // When no column's lit cells or peak moved since the last call with the
    // same sizes, the last images are returned as they were, undrawn.
    QList<QImage> redrawCompact(const QList<int>& pixelSizes);

    // A redraw requested by an owner that feeds the view on a timer: advances
    // the peak hold as a redraw does, but repaints only when a column's lit
    // cells or peak moved. From the first call on, a paint shows the state
    // this last advanced to rather than advancing it again.
    void redrawIfChanged();

    QSize sizeHint() const override { return {kWidth, kHeight}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // Peak hold of one redraw: what each column draws this time.
    Columns advanceColumns();
    void drawRect(yup::Painter& painter, const Columns& columns);
    static void drawWave(yup::Painter& painter, float w, float m, float width, float x, const QColor& lit,
        const CellLayout& layout = kFullCells);
    QImage drawCompact(const Columns& columns, int pixels) const;
    using Cells = std::array<std::pair<float, float>, kColumns>;
    static Cells wholeCells(const Columns& columns);

    std::array<float, kColumns> maxAudioWaveHeight{};
    std::array<std::int32_t, kColumns> maxAudioWaveHeightDec{};
    std::optional<QList<float>> _buildInAudioWave;
    QList<float> _buildInAudioWaveAppend;
    std::optional<QList<float>> _computerAudioWave;
    QList<float> _computerAudioWaveAppend;
    // The tray form last drawn: the whole cells it showed, per column, and its images.
    std::optional<Cells> compactCells_;
    QList<int> compactSizes_;
    QList<QImage> compactImages_;
    // The full form as redrawIfChanged() last advanced it.
    std::optional<Columns> ownerColumns_;
};
