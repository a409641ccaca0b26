// The play progress and trim bar: where its layers land for chosen rates,
// what a press grabs, and what its delegate hears during presses and drags.
#include "LibraryTestSupport.h"

#include "View/PlayProgressView.h"

#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

using librarytest::near;
using librarytest::pixel;
using Op = PlayProgressViewDelegate::Operation;

namespace {

// The bar runs from 9 to 309: a rate r stands at x = 9 + 300 r.
constexpr int kWidth = 318;
constexpr int kHeight = 44;

class RecordingDelegate : public PlayProgressViewDelegate {
public:
    std::set<Op> answered{Op::SeekPlayRate, Op::LeftTrimRate, Op::RightTrimRate};
    std::vector<std::string> reports;  // "seek 0.2500"

    bool respondsTo(Op op) const override { return answered.count(op) != 0; }
    void seekPlayRate(float rate) override { add("seek", rate); }
    void leftTrimRate(float rate) override { add("left", rate); }
    void rightTrimRate(float rate) override { add("right", rate); }

private:
    void add(const char* op, float rate)
    {
        reports.push_back(op + (" " + QString::number(rate, 'f', 4).toStdString()));
    }
};

// The report expected for a pointer at x.
std::string report(const char* op, double x)
{
    return op + (" " + QString::number((x - 9) / 300, 'f', 4).toStdString());
}

// A mouse position from view coordinates (origin bottom-left, y up).
QPoint at(double x, double viewY)
{
    return {int(x), int(kHeight - viewY)};
}

void press(QWidget& view, QPoint p)
{
    QTest::mousePress(&view, Qt::LeftButton, {}, p);
}
void drag(QWidget& view, QPoint p)
{
    QTest::mouseMove(&view, p);
}
void release(QWidget& view, QPoint p)
{
    QTest::mouseRelease(&view, Qt::LeftButton, {}, p);
}

class PlayProgressViewTest : public ::testing::Test {
protected:
    PlayProgressViewTest() { view.setDelegate(&delegate); }
    void setRates(float play, float start, float end)
    {
        view.setPlayRate(play);
        view.setStartTrimRate(start);
        view.setEndTrimRate(end);
    }

    RecordingDelegate delegate;
    PlayProgressView view{QRect(0, 0, kWidth, kHeight)};
};

TEST_F(PlayProgressViewTest, StretchedImagesKeepTheirEndCapsUnscaled)
{
    EXPECT_EQ(view.backImage().deviceIndependentSize(), QSizeF(300, 10));
    EXPECT_EQ(view.trimAreaImage().deviceIndependentSize(), QSizeF(300, 8));

    // Every source column has its own colour, so any scaling of a cap shows.
    QImage source(60, 2, QImage::Format_ARGB32_Premultiplied);
    for (int x = 0; x < 60; ++x)
        for (int y = 0; y < 2; ++y)
            source.setPixelColor(x, y, QColor(x * 4, 255 - x * 4, y * 200));
    const QImage stretched = view.createImage(source);
    ASSERT_EQ(stretched.size(), QSize(300, 2));
    for (int y = 0; y < 2; ++y)
        for (int i = 0; i < 20; ++i) {
            ASSERT_TRUE(near(stretched.pixelColor(i, y), source.pixelColor(i, y))) << "left cap " << i;
            ASSERT_TRUE(near(stretched.pixelColor(280 + i, y), source.pixelColor(40 + i, y))) << "right cap " << i;
        }
}

TEST_F(PlayProgressViewTest, LayersStandWhereTheRatesPutThem)
{
    // Fresh: head at the left end, trim over the whole bar, handles just outside it.
    EXPECT_EQ(view.barRect(), QRectF(9, 17, 300, 10));
    EXPECT_EQ(view.playHeadRect(), QRectF(2, 26, 14, 18));
    EXPECT_EQ(view.trimAreaRect(), QRectF(9, 18, 300, 8));
    EXPECT_EQ(view.leftHandleRect(), QRectF(0, 0, 9, 26));
    EXPECT_EQ(view.rightHandleRect(), QRectF(309, 0, 9, 26));

    setRates(0.3333F, 0.25F, 0.5F);
    EXPECT_EQ(view.playHeadRect().x(), 101);  // 101.99 truncated, not rounded
    EXPECT_EQ(view.trimAreaRect(), QRectF(84, 18, 75, 8));
    EXPECT_EQ(view.trimAreaSource(), QRectF(75, 0, 75, 8));
    EXPECT_EQ(view.leftHandleRect(), QRectF(75, 0, 9, 26));
    EXPECT_EQ(view.rightHandleRect(), QRectF(159, 0, 9, 26));

    // Equal rates: the handles meet at one x, and nothing of the trim area is drawn.
    setRates(0.5F, 0.4F, 0.4F);
    EXPECT_EQ(view.leftHandleRect().right(), 129);
    EXPECT_EQ(view.rightHandleRect().left(), 129);
    const QImage withArea = librarytest::render(view);
    view.setTrimAreaImage(QImage());
    EXPECT_EQ(librarytest::render(view), withArea);
}

TEST_F(PlayProgressViewTest, DrawsHeadAtTheTopHandlesAtTheBottomAndTheKeptStretchHighlighted)
{
    setRates(0.5F, 0.6F, 0.9F);  // head 152..166, left handle 180..189
    for (const qreal dpr : {1.0, 2.0}) {
        SCOPED_TRACE(dpr);
        const QImage image = librarytest::render(view, dpr, Qt::white);
        EXPECT_LT(pixel(image, 60, 22).value(), 60);   // bar outside the kept stretch
        EXPECT_GT(pixel(image, 240, 22).blue(), 200);  // inside it
        EXPECT_LT(pixel(image, 240, 22).green(), 150);
        EXPECT_GT(pixel(image, 155, 4).value(), 230);  // head near the top edge
        EXPECT_LT(pixel(image, 155, 4).saturation(), 20);
        EXPECT_EQ(pixel(image, 155, 40), QColor(Qt::white));
        EXPECT_GT(pixel(image, 187, 38).red(), 200);  // handle tab near the bottom edge
        EXPECT_LT(pixel(image, 187, 38).blue(), 120);
        EXPECT_EQ(pixel(image, 187, 4), QColor(Qt::white));
    }
}

TEST_F(PlayProgressViewTest, HitTestPriorities)
{
    using V = PlayProgressView;
    setRates(0.5F, 0.25F, 0.75F);                   // handles 75..84 and 234..243
    EXPECT_EQ(view.hitTest({78, 26}), V::Seek);     // a handle's part inside the bar
    EXPECT_EQ(view.hitTest({75, 0}), V::LeftTrim);  // left and bottom edges are inside
    EXPECT_EQ(view.hitTest({84, 5}), V::None);      // right edges are not
    EXPECT_EQ(view.hitTest({200, 27}), V::None);    // nor top edges
    EXPECT_EQ(view.hitTest({5, 40}), V::None);
    setRates(0.5F, 0.25F, 1.0F);
    EXPECT_EQ(view.hitTest({309, 22}), V::RightTrim);  // the bar's right edge belongs to the handle there
    setRates(0.5F, 0.4F, 0.38F);                       // overlapping handles 120..129 and 123..132
    EXPECT_EQ(view.hitTest({125, 5}), V::RightTrim);
    EXPECT_EQ(view.hitTest({121, 5}), V::LeftTrim);
}

struct Gesture {
    const char* what;
    float play, start, end;
    bool canEdit;
    QPoint press;
    std::vector<QPoint> drags;
    std::vector<std::string> reports;
};

TEST_F(PlayProgressViewTest, PressesAndDragsReportUnclampedRates)
{
    const Gesture gestures[] = {
        {"bar: seek at once, then per drag, off the bar too", 0, 0, 1, true, at(84, 22),
            {at(159, 22), at(0, 30), at(317, 2)},
            {"seek 0.2500", "seek 0.5000", report("seek", 0), report("seek", 317)}},
        {"play head", 0.5F, 0, 1, true, at(160, 40), {}, {report("seek", 160)}},
        {"left handle: drags only, past the end rate", 0, 0.25F, 0.5F, true, at(80, 5), {at(200, 5)},
            {report("left", 200)}},
        {"right handle", 0, 0.25F, 0.5F, true, at(165, 5), {at(30, 40), at(330, 40)},
            {report("right", 30), report("right", 330)}},
        {"handle's part inside the bar", 0, 0.25F, 0.5F, true, at(80, 20), {at(90, 5)},
            {report("seek", 80), report("seek", 90)}},
        {"touching handles, left of the shared x", 0, 0.4F, 0.4F, true, at(128, 5), {at(120, 5)},
            {report("left", 120)}},
        {"touching handles, at the shared x", 0, 0.4F, 0.4F, true, at(129, 5), {at(140, 5)}, {report("right", 140)}},
        {"between the handles, below the bar", 0, 0.25F, 0.75F, true, at(120, 5), {at(130, 5)}, {}},
        {"not editable", 0, 0, 1, false, at(84, 22), {at(100, 22)}, {}},
    };
    for (const Gesture& g : gestures) {
        SCOPED_TRACE(g.what);
        delegate.reports.clear();
        setRates(g.play, g.start, g.end);
        view.setCanEdit(g.canEdit);
        press(view, g.press);
        for (const QPoint p : g.drags)
            drag(view, p);
        release(view, g.drags.empty() ? g.press : g.drags.back());
        EXPECT_EQ(view.mouseDownAreaType(), PlayProgressView::None);
        drag(view, at(100, 22));  // after the release
        EXPECT_EQ(delegate.reports, g.reports);
        // The view leaves its own rates to the delegate.
        EXPECT_EQ(view.playRate(), g.play);
        EXPECT_EQ(view.startTrimRate(), g.start);
        EXPECT_EQ(view.endTrimRate(), g.end);
    }
}

TEST_F(PlayProgressViewTest, EditabilityAndTheDelegatesOperationsAreConsultedAtThePress)
{
    view.setCanEdit(true);
    press(view, at(84, 22));
    view.setCanEdit(false);
    drag(view, at(159, 22));
    release(view, at(159, 22));
    EXPECT_EQ(delegate.reports, (std::vector<std::string>{"seek 0.2500", "seek 0.5000"}));

    // A gesture the delegate does not answer, or with no delegate, is dropped.
    delegate.reports.clear();
    view.setCanEdit(true);
    view.setStartTrimRate(0.25F);
    delegate.answered = {Op::SeekPlayRate};
    press(view, at(80, 5));
    drag(view, at(90, 5));
    release(view, at(90, 5));
    delegate.answered = {Op::LeftTrimRate, Op::RightTrimRate};
    press(view, at(84, 22));
    drag(view, at(90, 22));
    release(view, at(90, 22));
    view.setDelegate(nullptr);
    press(view, at(84, 22));
    EXPECT_EQ(view.mouseDownAreaType(), PlayProgressView::Seek);
    drag(view, at(90, 22));
    EXPECT_TRUE(delegate.reports.empty());
}

TEST(PlayProgressViewLayout, BarIsBuiltOnceForTheFirstLaidOutWidth)
{
    // As an interface file makes it: no frame, sized by a layout before it shows.
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* view = new PlayProgressView;
    layout->addWidget(view);
    window.resize(40, kHeight);  // too narrow for the two end caps: not built yet
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_TRUE(view->backImage().isNull());
    window.resize(kWidth, kHeight);
    EXPECT_EQ(view->backImage().deviceIndependentSize().width(), 300);

    // Grown later: drawn to the new width, but pressed over the creation width only.
    window.resize(418, kHeight);
    EXPECT_EQ(view->backImage().deviceIndependentSize().width(), 300);
    EXPECT_EQ(view->barRect(), QRectF(9, 17, 400, 10));
    EXPECT_EQ(view->hitTest({300, 22}), PlayProgressView::Seek);
    EXPECT_EQ(view->hitTest({315, 22}), PlayProgressView::None);
}

}  // namespace
