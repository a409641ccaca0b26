// The library window's drawn views: the row, the play progress and trim bar
// and the background panels. Where their parts stand, their pixels, what
// their delegates hear of clicks, presses and drags, and the rule they all
// keep: a click on one ends the editing of a text field.
#include "AudioLibrary/AudioBottomBackView.h"
#include "AudioLibrary/AudioItemView.h"
#include "AudioLibrary/AudioLibBackView.h"
#include "platform/ui/Workspace.h"
#include "View/PlayProgressView.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <set>

using Calls = std::vector<std::string>;

namespace {

// The widget and its children over `background` (shown where the widget draws nothing), at `dpr`.
QImage render(QWidget& widget, qreal dpr = 1.0, QColor background = Qt::transparent)
{
    QImage image(widget.size() * dpr, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(dpr);
    image.fill(background);
    widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

// The colour at widget point (x, y), y counted from the top.
QColor pixel(const QImage& image, int x, int y)
{
    return image.pixelColor(int(x * image.devicePixelRatio()), int(y * image.devicePixelRatio()));
}

QColor grey(double fraction)
{
    return QColor::fromRgbF(float(fraction), float(fraction), float(fraction));
}

bool near(QColor a, QColor b, int tolerance = 2)
{
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance
        && std::abs(a.blue() - b.blue()) <= tolerance;
}

// The largest component among the pixels of the widget rectangle.
int brightest(const QImage& image, const QRect& rect)
{
    int best = 0;
    const qreal dpr = image.devicePixelRatio();
    for (int y = int(rect.top() * dpr); y <= int(rect.bottom() * dpr); ++y)
        for (int x = int(rect.left() * dpr); x <= int(rect.right() * dpr); ++x) {
            const QColor c = image.pixelColor(x, y);
            best = std::max({best, c.red(), c.green(), c.blue()});
        }
    return best;
}

const QRect kRowFrame(0, 0, 610, 50);

// Stands in for the library and the bar's owner: records the requests and,
// like the library, marks the row that asks to be chosen (unless told not to).
class FakeLibrary : public AudioItemViewDelegate, public PlayProgressViewDelegate {
public:
    std::set<AudioItemViewDelegate::Operation> answered{
        AudioItemViewDelegate::Operation::ChooseTheAudioItem, AudioItemViewDelegate::Operation::DeleteChooseAudioItem};
    std::set<PlayProgressViewDelegate::Operation> barAnswers{PlayProgressViewDelegate::Operation::SeekPlayRate,
        PlayProgressViewDelegate::Operation::LeftTrimRate, PlayProgressViewDelegate::Operation::RightTrimRate};
    bool selects = true;
    Calls calls;

    bool respondsTo(AudioItemViewDelegate::Operation op) const override { return answered.count(op) != 0; }
    void chooseTheAudioItem(AudioItemView* row) override
    {
        calls.push_back("choose");
        if (selects)
            row->setIsChoose(true);
    }
    void deleteChooseAudioItem() override { calls.push_back("delete"); }
    bool respondsTo(PlayProgressViewDelegate::Operation op) const override { return barAnswers.count(op) != 0; }
    void seekPlayRate(float rate) override { add("seek", rate); }
    void leftTrimRate(float rate) override { add("left", rate); }
    void rightTrimRate(float rate) override { add("right", rate); }
    void add(const char* op, float rate) { calls.push_back(op + (" " + QString::number(rate, 'f', 4).toStdString())); }
};

class RecordingWorkspace : public Workspace {
public:
    void revealInFileManager(const QString& path) override { revealed.append(path); }
    QStringList revealed;
};

}  // namespace

TEST(AudioItemView, PartsStandFromTheBottomAndDrawUpright)
{
    AudioItemView taller(QRect(0, 0, 610, 70));
    EXPECT_EQ(taller.deleteButton()->geometry(), QRect(510, 30, 30, 30));  // 10 up from the bottom

    AudioItemView row(kRowFrame);
    QImage art(8, 8, QImage::Format_ARGB32_Premultiplied);  // red over blue: shows it upright
    art.fill(Qt::blue);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 8; ++x)
            art.setPixelColor(x, y, Qt::red);
    row.setImageArt(art);
    for (const bool chosen : {false, true})
        for (const qreal dpr : {1.0, 2.0}) {
            SCOPED_TRACE(testing::Message() << "chosen " << chosen << " at " << dpr << "x");
            row.setIsChoose(chosen);
            const QImage image = render(row, dpr);
            const QColor background = chosen ? QColor(59, 34, 255) : grey(0.2);
            EXPECT_TRUE(near(pixel(image, 300, 25), background));
            EXPECT_TRUE(near(pixel(image, 300, 49), grey(0.1))) << "the dark bottom edge";
            // Artwork in 15..55 across, 5..45 down.
            EXPECT_EQ(pixel(image, 16, 7), QColor(Qt::red));
            EXPECT_EQ(pixel(image, 54, 43), QColor(Qt::blue));
        }
    // The name's line stands above the length's.
    AudioItemView name(kRowFrame), time(kRowFrame);
    name.setName(QStringLiteral("Recording 2024-05-01"));
    time.setTimeStr(QStringLiteral("00:01:59"));
    EXPECT_GT(brightest(render(name), QRect(120, 4, 200, 20)), 200);
    EXPECT_GT(brightest(render(time), QRect(120, 26, 100, 19)), 200);
}

TEST(AudioItemView, ClicksReachTheDelegateOnlyWhenItAnswersAndTheRightClickOffersTheFile)
{
    using Op = AudioItemViewDelegate::Operation;
    const std::set<Op> both{Op::ChooseTheAudioItem, Op::DeleteChooseAudioItem};
    struct Click {
        std::set<Op> answered;
        bool delegate, selects, chosenBefore, onDelete;
        Calls calls;
    };
    const Click clicks[] = {{both, true, true, false, false, {"choose"}},
        {both, true, true, false, true, {"choose", "delete"}}, {both, true, true, true, true, {"delete"}},
        {both, true, false, false, true, {"choose"}},  // the library did not choose it: no delete
        {{Op::DeleteChooseAudioItem}, true, true, false, true, {}}, {both, false, true, false, true, {}}};
    for (const Click& c : clicks) {
        SCOPED_TRACE(&c - clicks);
        FakeLibrary library;
        library.answered = c.answered;
        library.selects = c.selects;
        AudioItemView row(kRowFrame);
        row.setIsChoose(c.chosenBefore);
        row.setDelegate(c.delegate ? &library : nullptr);
        if (c.onDelete)
            QTest::mouseClick(row.deleteButton(), Qt::LeftButton);
        else
            QTest::mouseClick(&row, Qt::LeftButton, {}, QPoint(300, 25));
        EXPECT_EQ(library.calls, c.calls);
    }

    FakeLibrary library;
    AudioItemView row(kRowFrame);
    row.setDelegate(&library);
    row.setDicObject({{QStringLiteral("AudioPath"), QStringLiteral("/music/take 1.m4a")}});
    RecordingWorkspace workspace;
    Workspace::setShared(&workspace);
    QTest::mouseClick(&row, Qt::RightButton, {}, QPoint(300, 25));
    const auto menus = row.findChildren<QMenu*>();
    ASSERT_EQ(menus.size(), 1);
    ASSERT_EQ(menus[0]->actions().size(), 1);
    EXPECT_TRUE(library.calls.empty());
    menus[0]->actions()[0]->trigger();
    menus[0]->close();
    Workspace::setShared(nullptr);
    EXPECT_EQ(workspace.revealed, QStringList{QStringLiteral("/music/take 1.m4a")});
}

namespace {

// The bar runs from 9 to 309: a rate r stands at x = 9 + 300 r.
constexpr int kBarHeight = 44;

// A mouse position from view coordinates (origin bottom-left, y up).
QPoint at(double x, double viewY)
{
    return {int(x), int(kBarHeight - viewY)};
}

// The report expected for a pointer at x.
std::string report(const char* op, double x)
{
    return op + (" " + QString::number((x - 9) / 300, 'f', 4).toStdString());
}

class PlayProgressViewTest : public ::testing::Test {
protected:
    PlayProgressViewTest() { view.setDelegate(&owner); }
    void setRates(float play, float start, float end)
    {
        view.setPlayRate(play);
        view.setStartTrimRate(start);
        view.setEndTrimRate(end);
    }
    void gesture(QPoint press, const std::vector<QPoint>& drags = {})
    {
        QTest::mousePress(&view, Qt::LeftButton, {}, press);
        for (const QPoint p : drags)
            QTest::mouseMove(&view, p);
        QTest::mouseRelease(&view, Qt::LeftButton, {}, drags.empty() ? press : drags.back());
    }

    FakeLibrary owner;
    PlayProgressView view{QRect(0, 0, 318, kBarHeight)};
};

}  // namespace

TEST_F(PlayProgressViewTest, LayersStandWhereTheRatesPutThemAndDrawThere)
{
    // The stretched images keep their end caps unscaled: every source column has its own colour.
    QImage source(60, 1, QImage::Format_ARGB32_Premultiplied);
    for (int x = 0; x < 60; ++x)
        source.setPixelColor(x, 0, QColor(x * 4, 255 - x * 4, 0));
    const QImage stretched = view.createImage(source);
    ASSERT_EQ(stretched.size(), QSize(300, 1));
    for (const int i : {0, 19}) {
        EXPECT_TRUE(near(stretched.pixelColor(i, 0), source.pixelColor(i, 0))) << "left cap " << i;
        EXPECT_TRUE(near(stretched.pixelColor(280 + i, 0), source.pixelColor(40 + i, 0))) << "right cap " << i;
    }

    setRates(0.5F, 0.6F, 0.9F);  // head 152..166, left handle 180..189
    for (const qreal dpr : {1.0, 2.0}) {
        const QImage image = render(view, dpr, Qt::white);
        EXPECT_LT(pixel(image, 60, 22).value(), 60) << dpr;   // bar outside the kept stretch
        EXPECT_GT(pixel(image, 240, 22).blue(), 200) << dpr;  // inside it
        EXPECT_GT(pixel(image, 155, 4).value(), 230) << dpr;  // head near the top edge
        EXPECT_GT(pixel(image, 187, 38).red(), 200) << dpr;   // handle tab near the bottom edge
    }
}

TEST_F(PlayProgressViewTest, PressesAndDragsReportUnclampedRatesByWhatWasHit)
{
    using V = PlayProgressView;
    setRates(0.5F, 0.25F, 0.75F);                   // handles 75..84 and 234..243
    EXPECT_EQ(view.hitTest({78, 26}), V::Seek);     // a handle's part inside the bar
    EXPECT_EQ(view.hitTest({75, 0}), V::LeftTrim);  // left and bottom edges are inside
    EXPECT_EQ(view.hitTest({84, 5}), V::None);      // right edges are not
    setRates(0.5F, 0.4F, 0.38F);                    // overlapping handles 120..129 and 123..132
    EXPECT_EQ(view.hitTest({125, 5}), V::RightTrim);

    struct Gesture {
        float play, start, end;
        bool canEdit;
        QPoint press;
        std::vector<QPoint> drags;
        Calls reports;
    };
    const Gesture gestures[] = {
        // The bar seeks at once and per drag, off the bar too.
        {0, 0, 1, true, at(84, 22), {at(159, 22), at(0, 30), at(317, 2)},
            {"seek 0.2500", "seek 0.5000", report("seek", 0), report("seek", 317)}},
        {0, 0.25F, 0.5F, true, at(80, 5), {at(200, 5)}, {report("left", 200)}},  // past the end rate
        {0, 0.25F, 0.5F, true, at(165, 5), {at(30, 40), at(330, 40)}, {report("right", 30), report("right", 330)}},
        {0, 0.4F, 0.4F, true, at(128, 5), {at(120, 5)}, {report("left", 120)}},  // touching handles
        {0, 0.25F, 0.75F, true, at(120, 5), {at(130, 5)}, {}},  // between the handles, below the bar
        {0, 0, 1, false, at(84, 22), {at(100, 22)}, {}},        // not editable
    };
    for (const Gesture& g : gestures) {
        SCOPED_TRACE(&g - gestures);
        owner.calls.clear();
        setRates(g.play, g.start, g.end);
        view.setCanEdit(g.canEdit);
        gesture(g.press, g.drags);
        QTest::mouseMove(&view, at(100, 22));  // after the release
        EXPECT_EQ(owner.calls, g.reports);
        // The view leaves its own rates to the delegate.
        EXPECT_EQ(view.startTrimRate(), g.start);
        EXPECT_EQ(view.playRate(), g.play);
    }

    // An operation the delegate does not answer, or no delegate, is not called.
    owner.calls.clear();
    view.setCanEdit(true);
    view.setStartTrimRate(0.25F);
    owner.barAnswers = {PlayProgressViewDelegate::Operation::SeekPlayRate};
    gesture(at(80, 5), {at(90, 5)});
    view.setDelegate(nullptr);
    gesture(at(84, 22), {at(90, 22)});
    EXPECT_TRUE(owner.calls.empty());
}

TEST(PlayProgressViewLayout, BarIsBuiltOnceForTheFirstLaidOutWidth)
{
    // As an interface file makes it: no frame, sized by a layout before it shows.
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* view = new PlayProgressView;
    layout->addWidget(view);
    window.resize(40, kBarHeight);  // too narrow for the two end caps: not built yet
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_TRUE(view->backImage().isNull());
    window.resize(318, kBarHeight);
    EXPECT_EQ(view->backImage().deviceIndependentSize(), QSizeF(300, 10));
    window.resize(418, kBarHeight);
    EXPECT_EQ(view->backImage().deviceIndependentSize().width(), 300) << "built once";
}

TEST(BackPanels, TheBottomStripHasATwoToneTopEdgeTheListIsFlatAndAClickOnAnyViewEndsTheFieldsEditing)
{
    AudioBottomBackView strip;
    strip.resize(200, 40);
    EXPECT_TRUE(near(pixel(render(strip, 2.0), 100, 0), grey(0.1))) << "the dark top edge";

    QWidget window;
    window.resize(700, 400);
    auto* field = new QLineEdit(&window);
    field->setGeometry(10, 10, 100, 24);
    auto* editable = new PlayProgressView(QRect(0, 300, 318, 44), &window);
    editable->setCanEdit(true);
    QWidget* const views[] = {new AudioItemView(QRect(0, 50, 610, 50), &window), new AudioBottomBackView(&window),
        new AudioLibBackView(&window), new PlayProgressView(QRect(0, 250, 318, 44), &window), editable};
    views[1]->setGeometry(0, 110, 300, 40);
    views[2]->setGeometry(0, 150, 300, 100);
    window.show();
    QApplication::setActiveWindow(&window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    for (QWidget* view : views)
        for (const bool editing : {false, true}) {
            if (editing)
                field->setFocus();
            QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(20, 20));
            EXPECT_FALSE(field->hasFocus()) << view->metaObject()->className();
            EXPECT_FALSE(view->hasFocus()) << view->metaObject()->className();
        }
}
