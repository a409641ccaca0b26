#include "LibraryTestSupport.h"

#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace {

// gtest_main owns main(); the widgets need one QApplication for the whole run.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        // The library window keeps its list in the settings: a private folder, never the user's.
        qputenv("XDG_CONFIG_HOME", config_.path().toLocal8Bit());
        app_ = std::make_unique<QApplication>(argc_, argv_);
        QCoreApplication::setOrganizationName(QStringLiteral("traytape"));
        QCoreApplication::setApplicationName(QStringLiteral("TrayTape"));
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config_.path());
    }
    void TearDown() override { app_.reset(); }

private:
    QTemporaryDir config_;
    int argc_ = 1;
    char name_[14] = "library_tests";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] ::testing::Environment* const environment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

namespace librarytest {

QImage render(QWidget& widget, qreal dpr, QColor background)
{
    QImage image(widget.size() * dpr, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(dpr);
    image.fill(background);
    // Without the window background, so that `background` shows where the widget draws nothing.
    widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

QColor pixel(const QImage& image, int x, int y)
{
    const qreal dpr = image.devicePixelRatio();
    return image.pixelColor(int(x * dpr), int(y * dpr));
}

QColor grey(double fraction)
{
    return QColor::fromRgbF(float(fraction), float(fraction), float(fraction));
}

bool near(QColor a, QColor b, int tolerance)
{
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance
        && std::abs(a.blue() - b.blue()) <= tolerance;
}

int brightest(const QImage& image, const QRect& rect)
{
    const QRect pixels(rect.topLeft() * image.devicePixelRatio(), rect.size() * image.devicePixelRatio());
    int best = 0;
    for (int y = pixels.top(); y <= pixels.bottom(); ++y)
        for (int x = pixels.left(); x <= pixels.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            best = std::max({best, c.red(), c.green(), c.blue()});
        }
    return best;
}

}  // namespace librarytest
