// Helpers for the library's tests: the window's inner state, and rendering a
// widget into an image and reading its pixels. The QApplication is made once
// per process by the environment in LibraryTestSupport.cpp. Main thread.
#pragma once

#include "AudioLibrary/AudioLibraryWnd.h"
#include "platform/MediaPlayer.h"

#include <QColor>
#include <QImage>
#include <QWidget>

// What the tests read of the library window beyond its widgets.
struct AudioLibraryWndTestAccess {
    static const QList<AudioItemView*>& rows(const AudioLibraryWnd& w) { return w.aryAudioItemView_; }
    static const QVariantList& items(const AudioLibraryWnd& w) { return w.store_.items(); }
    static const AudioPreview& preview(const AudioLibraryWnd& w) { return w.preview_; }
    static MediaPlayer* player(const AudioLibraryWnd& w) { return w.preview_.player_.get(); }
    static QProgressBar* exportProgress(const AudioLibraryWnd& w) { return w.exportProgress_; }
    // A widget of the window by its name in the interface file.
    template <class T> static T* widget(AudioLibraryWnd& w, const char* name)
    {
        return w.window()->findChild<T*>(QLatin1String(name));
    }
};

namespace librarytest {

// The widget and its children over `background`, at `dpr` device pixels per point.
QImage render(QWidget& widget, qreal dpr = 1.0, QColor background = Qt::transparent);
// The colour at widget point (x, y), y counted from the top.
QColor pixel(const QImage& image, int x, int y);
// A grey level given as a fraction, as the views' colours are.
QColor grey(double fraction);
bool near(QColor a, QColor b, int tolerance = 2);
// The largest component among the pixels of the widget rectangle.
int brightest(const QImage& image, const QRect& rect);

}  // namespace librarytest
