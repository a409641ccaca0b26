// The row widgets of the library's list. Only the rows in view exist, each
// rebound to another item as the list scrolls, so start-up, scrolling and
// quitting cost the same for ten items or 100,000. A row is known by its
// item's index in the store's order.
//
// Main thread only. The library window owns the pool once its widgets are
// built; the row widgets are children of the list view, which owns them.
#pragma once

#include <QList>
#include <QString>

class AudioItemView;
class AudioItemViewDelegate;
class AudioLibraryStore;
class QScrollArea;
class QWidget;

class AudioRowPool {
public:
    // Row size and pitch in points: 50 of row and 4 of gap.
    static constexpr int kRowWidth = 610;
    static constexpr int kRowHeight = 50;
    static constexpr int kRowPitch = 54;

    // None of these is owned: the store and the delegate outlive the pool, the
    // scroll area and the list view inside it go with the window.
    AudioRowPool(const AudioLibraryStore& store, QScrollArea* scroll, QWidget* list, AudioItemViewDelegate* delegate);

    // Sizes the list view to its rows and the visible area, and binds the rows in view.
    void layout(qsizetype chosen);
    // Gives each item in view a row widget (more are made only when the view
    // grows), placed and filled for it; the widgets left over are hidden.
    void bind(qsizetype chosen);
    void scrollTo(qsizetype index);
    // The item a row widget shows; -1 for a spare or a stranger.
    qsizetype indexOf(const AudioItemView* view) const;
    // The row widget showing item `index`; null while that item is out of view.
    AudioItemView* viewAt(qsizetype index) const;
    // The rows go with the window; none may call back while it goes.
    void detach();

    // A position or length in seconds as the list and the preview show it;
    // anything that is not a finite, positive number of seconds is zero time.
    static QString timeText(float seconds);
    // How many items right after `index` are the files of its sources
    // ("NAME.input.ext", "NAME.system.ext", "NAME.app.ext" after "NAME.ext"),
    // which the list shows as its own.
    static qsizetype sourcesAfter(const QVariantList& items, qsizetype index);

private:
    const AudioLibraryStore& store_;
    QScrollArea* scroll_;
    QWidget* list_;
    AudioItemViewDelegate* delegate_;
    // The row widgets and the index each shows (-1: hidden, spare).
    struct Row {
        AudioItemView* view;
        qsizetype index;
    };
    QList<Row> rows_;
};
