// The library window on the offscreen platform, with real files read through
// FFmpeg and the virtual-time player: the stored list and its rows, choosing
// and deleting, the preview loop, the end of plain play, the trim and seek
// clamps, the fade fields and the fade envelope.
#include "LibraryTestSupport.h"

#include "AudioLibrary/AudioLibBackView.h"
#include "AudioLibrary/AudioLibraryWnd.h"
#include "Control/AppControl.h"
#include "platform/VirtualMediaPlayer.h"
#include "platform/ui/Resources.h"
#include "platform/ui/YUp.h"
#include "support/Signal.h"
#include "support/StereoFile.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <fstream>

using A = AudioLibraryWndTestAccess;

namespace {

QVariantMap item(const QString& path, float length)
{
    return {{QStringLiteral("AudioPath"), path}, {QStringLiteral("AudioLength"), length}};
}

QVariantList storedList()
{
    return QSettings().value(SettingsKey::AudioItemData).toList();
}

QImage iconImage(const QIcon& icon)
{
    return icon.pixmap(QSize(36, 36)).toImage().convertToFormat(QImage::Format_ARGB32);
}

bool shows(QToolButton* button, const char* image)
{
    return iconImage(button->icon()) == iconImage(resources::icon(QString::fromLatin1(image)));
}

class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QSettings().clear();
        output_ = VirtualMediaOutput::install();
    }
    void TearDown() override
    {
        library_.reset();
        output_.reset();
        QSettings().clear();
    }

    // A quiet tone at a low rate: the player here runs in virtual time.
    QString file(const QString& name, double seconds)
    {
        const QString path = dir_.filePath(name);
        const auto tone = signal_test::sine(440, 8000, std::size_t(std::llround(seconds * 8000)), 0.1);
        EXPECT_EQ(writeStereoFile(path.toStdString(), 8000, tone, tone), noErr);
        return path;
    }
    void store(const QVariant& list) { QSettings().setValue(SettingsKey::AudioItemData, list); }

    // A library loaded from the store, its list's visible area `visibleHeight` high (0: as it comes).
    AudioLibraryWnd& open(int visibleHeight = 400)
    {
        library_ = std::make_unique<AudioLibraryWnd>();
        QWidget* window = library_->window();
        if (visibleHeight == 0)
            return *library_;
        auto* scroll = window->findChild<QScrollArea*>();
        window->show();
        window->resize(window->width(), window->height() - scroll->contentsRect().height() + visibleHeight);
        QCoreApplication::processEvents();
        return *library_;
    }

    // One 40 s recording, chosen.
    AudioLibraryWnd& openFortySecondsChosen()
    {
        store(QVariantList{item(file(QStringLiteral("forty.wav"), 40), 40)});
        open();
        library_->chooseTheAudioItem(A::rows(*library_)[0]);
        return *library_;
    }

    // The row's origin in the list's y-up coordinates.
    double rowY(int i) const
    {
        AudioItemView* row = A::rows(*library_)[i];
        return yup::toView(QPointF(row->x(), row->y() + row->height()),
            A::widget<AudioLibBackView>(*library_, "vLibiaryBack_")->height())
            .y();
    }

    // Plays `seconds` in 0.1 s steps with a play-timer tick after each while
    // the timer runs; `heard` sees each step's position before its tick.
    void tick(double seconds, const std::function<void()>& heard = {})
    {
        for (int i = 0; i < int(std::lround(seconds * 10)); ++i) {
            output_->advance(0.1);
            if (heard)
                heard();
            if (A::preview(*library_).isPlaying())
                library_->flushPlayTime();
        }
    }
    double position() const { return A::player(*library_)->currentTime().seconds(); }

    QTemporaryDir dir_;
    std::unique_ptr<VirtualMediaOutput> output_;
    std::unique_ptr<AudioLibraryWnd> library_;
};

}  // namespace

TEST_F(LibraryTest, RowsAreLaidOutFromTheTopTheListScrollsAndARecordingIsAddedChosenAndStored)
{
    const QString path = file(QStringLiteral("a.wav"), 1);
    store(QVariantList{item(path, 1), item(path, 1), item(path, 1)});
    AudioLibraryWnd& library = open(400);
    EXPECT_EQ(A::widget<AudioLibBackView>(library, "vLibiaryBack_")->height(), 400);
    EXPECT_DOUBLE_EQ(rowY(0), 346);
    EXPECT_DOUBLE_EQ(rowY(1), 292);
    EXPECT_DOUBLE_EQ(rowY(2), 238);
    EXPECT_EQ(A::rows(library)[0]->geometry(), QRect(15, 4, 610, 50));

    QVariantList ten;
    for (int i = 0; i < 10; ++i)
        ten.append(item(path, 1));
    store(ten);
    open(400);
    EXPECT_EQ(A::widget<AudioLibBackView>(*library_, "vLibiaryBack_")->height(), 540);
    EXPECT_DOUBLE_EQ(rowY(0), 486);
    EXPECT_DOUBLE_EQ(rowY(9), 0);
    auto* scroll = library_->window()->findChild<QScrollArea*>();
    EXPECT_EQ(scroll->verticalScrollBar()->maximum(), 140) << "the rows below the visible area can be scrolled to";

    // A new recording goes to the bottom, scrolled into sight, chosen and measured.
    library_->chooseTheAudioItem(A::rows(*library_)[2]);
    library_->addAudioItemFromPath(file(QStringLiteral("24_03_05 14_07_09_Audio.wav"), 59.9));
    library_->flushAudioLibrary();
    EXPECT_EQ(scroll->verticalScrollBar()->maximum(), 194);
    EXPECT_EQ(scroll->verticalScrollBar()->value(), 194);
    ASSERT_EQ(A::rows(*library_).size(), 11);
    AudioItemView* row = A::rows(*library_)[10];
    EXPECT_EQ(library_->chooseAudioItem(), row);
    EXPECT_TRUE(row->isChoose());
    EXPECT_FALSE(A::rows(*library_)[2]->isChoose());
    EXPECT_DOUBLE_EQ(rowY(10), 0);
    EXPECT_EQ(row->name(), QStringLiteral("24_03_05 14_07_09_Audio"));
    EXPECT_EQ(row->timeStr(), QStringLiteral("00:00:59"));
    EXPECT_NEAR(A::preview(*library_).length(), 59.9, 1e-3);
    EXPECT_TRUE(A::widget<QPushButton>(*library_, "btnExport_")->isEnabled());
    // Stored at once: a crash later in the run keeps it.
    ASSERT_EQ(storedList().size(), 11);
    EXPECT_NEAR(storedList()[10].toMap().value(QStringLiteral("AudioLength")).toDouble(), 59.9, 1e-3);
}

TEST_F(LibraryTest, LoadingKeepsExistingFilesAnywhereAndDropsTheRestAndStoresAtOnce)
{
    const QString kept = file(QStringLiteral("kept.wav"), 2);  // outside the default recordings folder
    const QString second = file(QStringLiteral("second take.wav"), 3);
    const QString missing = dir_.filePath(QStringLiteral("gone.wav"));
    QVariantMap notText = item(kept, 2);
    notText[QStringLiteral("AudioPath")] = 42;
    store(QVariantList{item(kept, 2), item(missing, 5), QStringLiteral("not a map"), notText, QVariantList{kept},
        item(dir_.path(), 1), item(second, std::nanf(""))});

    AudioLibraryWnd& library = open();
    ASSERT_EQ(A::rows(library).size(), 2);
    EXPECT_EQ(A::rows(library)[0]->name(), QStringLiteral("kept"));
    EXPECT_EQ(A::rows(library)[1]->name(), QStringLiteral("second take"));
    EXPECT_EQ(A::rows(library)[1]->timeStr(), QStringLiteral("00:00:00")) << "a NaN length shows as zero";
    // The drops reach the store without waiting for a close or a quit.
    EXPECT_EQ(storedList().size(), 2);
    EXPECT_EQ(storedList()[0].toMap().value(QStringLiteral("AudioPath")).toString(), kept);
    EXPECT_EQ(library.chooseAudioItem(), nullptr);
    EXPECT_FALSE(A::widget<QPushButton>(library, "btnExport_")->isEnabled());

    // Something other than a list is no library, and is not a crash.
    for (const QVariant& junk : {QVariant(QStringLiteral("junk")), QVariant(7), QVariant(QVariantMap{})}) {
        store(junk);
        EXPECT_TRUE(A::rows(open()).isEmpty());
    }
}

TEST_F(LibraryTest, AFileThatCannotBeLoadedLeavesNothingOfThePreviousRecording)
{
    const QString good = file(QStringLiteral("good.wav"), 40);
    const QString empty = file(QStringLiteral("empty.wav"), 0);
    const QString text = dir_.filePath(QStringLiteral("notes.wav"));
    std::ofstream(text.toStdString()) << "not audio at all";
    store(QVariantList{item(good, 40), item(empty, 0), item(text, 0)});
    AudioLibraryWnd& library = open();
    for (int bad : {1, 2}) {
        library.chooseTheAudioItem(A::rows(library)[0]);
        library.rightTrimRate(0.5F);
        library.playAndPause();
        ASSERT_NE(A::player(library), nullptr);

        library.chooseTheAudioItem(A::rows(library)[bad]);
        EXPECT_EQ(library.chooseAudioItem(), A::rows(library)[bad]) << "the row stays chosen";
        EXPECT_EQ(A::player(library), nullptr);
        EXPECT_EQ(A::preview(library).length(), 0);
        EXPECT_FALSE(A::widget<QPushButton>(library, "btnExport_")->isEnabled());
        EXPECT_FALSE(A::widget<QLineEdit>(library, "fadeInTimeEdt_")->isEnabled());
        EXPECT_FALSE(A::widget<PlayProgressView>(library, "playProgressView_")->canEdit());
        EXPECT_EQ(A::widget<PlayProgressView>(library, "playProgressView_")->endTrimRate(), 1.0F);
        EXPECT_EQ(A::widget<QLabel>(library, "showPlayTime_")->text(), QStringLiteral("00:00:00/00:00:00"));
        EXPECT_FALSE(A::preview(library).isPlaying());
        // Without a player the buttons do nothing, and nothing reads as NaN.
        library.playAndPause();
        library.previewAndStop();
        library.seekPlayRate(0.5F);
        EXPECT_EQ(A::widget<PlayProgressView>(library, "playProgressView_")->playRate(), 0.5F);
        EXPECT_EQ(A::widget<QLabel>(library, "showPlayTime_")->text(), QStringLiteral("00:00:00/00:00:00"));
    }
}

TEST_F(LibraryTest, DeletingARowFromItsOwnButtonRemovesThatRowAndItsItemOnly)
{
    const QString a = file(QStringLiteral("a.wav"), 40);
    const QString b = file(QStringLiteral("b.wav"), 40);
    const QString c = file(QStringLiteral("c.wav"), 40);
    store(QVariantList{item(a, 40), item(b, 40), item(c, 40), item(a, 40)});
    AudioLibraryWnd& library = open(400);
    library.window()->show();
    AudioItemView* first = A::rows(library)[0];
    AudioItemView* middle = A::rows(library)[1];
    library.chooseTheAudioItem(middle);
    library.playAndPause();

    QPointer<AudioItemView> deleted(middle);
    QTest::mouseClick(middle->deleteButton(), Qt::LeftButton);
    // The row is gone from the list but lives until its click handler has returned.
    ASSERT_FALSE(deleted.isNull());
    EXPECT_TRUE(deleted->isHidden());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(deleted.isNull());

    ASSERT_EQ(A::rows(library).size(), 3);
    EXPECT_EQ(A::rows(library)[1]->audioPath(), c);
    EXPECT_DOUBLE_EQ(rowY(1), 292) << "the next row moves up one place";
    EXPECT_EQ(library.chooseAudioItem(), nullptr);
    EXPECT_EQ(A::player(library), nullptr);
    EXPECT_FALSE(A::widget<QLineEdit>(library, "fadeInTimeEdt_")->isEnabled());
    EXPECT_FALSE(A::widget<QLineEdit>(library, "fadeOutTimeEdt_")->isEnabled());
    EXPECT_FALSE(A::widget<QPushButton>(library, "btnExport_")->isEnabled());
    EXPECT_TRUE(QFileInfo::exists(b));
    ASSERT_EQ(storedList().size(), 3);

    // The delete button of a row that is not chosen deletes that row, not
    // the first row holding an equal item.
    library.chooseTheAudioItem(first);
    QTest::mouseClick(A::rows(library)[2]->deleteButton(), Qt::LeftButton);
    ASSERT_EQ(A::rows(library).size(), 2);
    EXPECT_EQ(A::rows(library)[0], first);
    EXPECT_EQ(A::items(library), (QVariantList{item(a, 40), item(c, 40)}));
    EXPECT_TRUE(QFileInfo::exists(a));
    library.window()->hide();
    EXPECT_EQ(A::rows(open()).size(), 2) << "stored: still there after a restart";
}

TEST_F(LibraryTest, PreviewLoopsTheTrimRange)
{
    AudioLibraryWnd& library = openFortySecondsChosen();
    library.leftTrimRate(0.25F);
    library.rightTrimRate(0.5F);
    EXPECT_EQ(A::widget<QLabel>(library, "showStartTrim_")->text(), QStringLiteral("00:00:10"));
    EXPECT_EQ(A::widget<QLabel>(library, "showEndTrim_")->text(), QStringLiteral("00:00:20"));

    library.previewAndStop();
    EXPECT_TRUE(shows(A::widget<QToolButton>(library, "previewBtn_"), "PrePause.png"));
    EXPECT_TRUE(shows(A::widget<QToolButton>(library, "playBtn_"), "Pause.png"));
    EXPECT_TRUE(A::preview(library).isPlaying());
    EXPECT_DOUBLE_EQ(position(), 10.0);

    double highest = 0;
    double lowest = 40;
    int loops = 0;
    double last = position();
    tick(35, [&] {
        highest = std::max(highest, position());
        lowest = std::min(lowest, position());
        loops += position() < last ? 1 : 0;
        last = position();
    });
    EXPECT_EQ(loops, 3);
    EXPECT_LE(highest, 20.1 + 1e-9) << "at most one tick past the trim end";
    EXPECT_GT(highest, 20.0);
    EXPECT_NEAR(lowest, 10.1, 1e-9) << "every jump goes back to the trim start";

    // A click before the trim start is pulled back to it at the next tick.
    library.seekPlayRate(0.1F);
    tick(0.1);
    EXPECT_DOUBLE_EQ(position(), 10.0);

    library.previewAndStop();
    EXPECT_FALSE(library.isPreviewPlay_());
    EXPECT_EQ(A::player(library)->rate(), 0.0F);
    EXPECT_TRUE(shows(A::widget<QToolButton>(library, "playBtn_"), "Play.png"));
}

TEST_F(LibraryTest, PlainPlayPausesAndRewindsAtTheEnd)
{
    AudioLibraryWnd& library = openFortySecondsChosen();
    library.seekPlayRate(39.0F / 40.0F);
    library.playAndPause();
    tick(0.8);
    EXPECT_EQ(A::player(library)->rate(), 1.0F) << "still playing at 39.8 s";
    tick(0.1);
    EXPECT_EQ(A::player(library)->rate(), 0.0F);
    EXPECT_DOUBLE_EQ(position(), 0.0);
    EXPECT_EQ(A::widget<PlayProgressView>(library, "playProgressView_")->playRate(), 0.0F);
    EXPECT_FALSE(A::preview(library).isPlaying());
    EXPECT_TRUE(shows(A::widget<QToolButton>(library, "playBtn_"), "Play.png"));
    EXPECT_EQ(A::widget<QLabel>(library, "showPlayTime_")->text(), QStringLiteral("00:00:00/00:00:40"));

    // Preview with the trim end at 1 rewinds to 0 too, still in preview
    // mode; play then continues from the trim start.
    library.leftTrimRate(0.9F);
    library.previewAndStop();
    tick(5);
    EXPECT_EQ(A::player(library)->rate(), 0.0F);
    EXPECT_DOUBLE_EQ(position(), 0.0);
    EXPECT_TRUE(library.isPreviewPlay_());
    EXPECT_TRUE(shows(A::widget<QToolButton>(library, "previewBtn_"), "PrePause.png"));
    library.playAndPause();
    tick(0.1);
    EXPECT_DOUBLE_EQ(position(), 36.0);
}

TEST_F(LibraryTest, SeekTrimAndFadeInputsAreClampedOrRefused)
{
    AudioLibraryWnd& library = openFortySecondsChosen();
    PlayProgressView* bar = A::widget<PlayProgressView>(library, "playProgressView_");

    library.seekPlayRate(1.7F);
    EXPECT_EQ(bar->playRate(), 1.0F);
    EXPECT_DOUBLE_EQ(position(), 40.0);
    library.seekPlayRate(-0.2F);
    EXPECT_EQ(bar->playRate(), 0.0F);
    EXPECT_DOUBLE_EQ(position(), 0.0);
    library.seekPlayRate(std::nanf(""));
    EXPECT_EQ(bar->playRate(), 0.0F);

    library.rightTrimRate(0.5F);
    library.leftTrimRate(0.8F);
    EXPECT_EQ(bar->startTrimRate(), 0.5F) << "the start stops at the end";
    library.rightTrimRate(0.2F);
    EXPECT_EQ(bar->endTrimRate(), 0.5F) << "the end stops at the start";
    library.leftTrimRate(-1);
    library.rightTrimRate(3);
    EXPECT_EQ(bar->startTrimRate(), 0.0F);
    EXPECT_EQ(bar->endTrimRate(), 1.0F);

    // The set-trim buttons take the play position; moving a trim point never moves it.
    library.seekPlayRate(0.3F);
    library.StartTrimSetPlayTime();
    library.seekPlayRate(0.6F);
    library.EndTrimSetPlayTime();
    EXPECT_EQ(bar->startTrimRate(), 0.3F);
    EXPECT_EQ(bar->endTrimRate(), 0.6F);
    EXPECT_EQ(bar->playRate(), 0.6F);

    // A fade field takes 0 to 5 s, and the fade in use is the one shown.
    QLineEdit* in = A::widget<QLineEdit>(library, "fadeInTimeEdt_");

    struct Case {
        const char* typed;
        const char* shown;
    };
    // Each edit is kept or undone against the one before it.
    const Case cases[] = {{"2", "2.0"}, {"7", "2.0"}, {"2.06", "2.1"}, {"nan", "2.1"}, {"inf", "2.1"}, {"-inf", "2.1"},
        {"1e999", "2.1"}, {"-1", "2.1"}, {"5", "5.0"}, {"5.04", "5.0"}, {"abc", "0.0"}, {"1.5s", "1.5"},
        {" .24", "0.2"}, {"0", "0.0"}};
    // One edit each, as a paste makes it.
    for (const Case& c : cases) {
        in->selectAll();
        in->insert(QString::fromLatin1(c.typed));
        EXPECT_EQ(in->text(), QString::fromLatin1(c.shown)) << "typed " << c.typed;
        EXPECT_EQ(A::preview(library).fadeIn(), in->text().toFloat()) << "the fade in use is the one shown";
    }
    // Typing digit by digit into the rewritten field reaches what was meant.
    QLineEdit* out = A::widget<QLineEdit>(library, "fadeOutTimeEdt_");
    out->selectAll();
    QTest::keyClicks(out, QStringLiteral("1.5"));
    EXPECT_EQ(out->text(), QStringLiteral("1.5"));
    EXPECT_EQ(A::preview(library).fadeOut(), 1.5F);
}

TEST_F(LibraryTest, TheFadeEnvelopeSetsTheVolumeAndFadesBackToZeroRestoreIt)
{
    AudioLibraryWnd& library = openFortySecondsChosen();

    // Plain play with no fades never touches the volume.
    library.playAndPause();
    tick(2);
    EXPECT_TRUE(output_->volumeChanges().empty());
    library.playAndPause();

    library.leftTrimRate(0.25F);
    library.rightTrimRate(0.5F);
    library.setFadeInTime(2);
    library.setFadeOutTime(1);
    const auto volumeAt = [&](double seconds) {
        library.seekPlayRate(float(seconds / 40));
        library.flushPlayTime();
        return A::player(library)->volume();
    };
    EXPECT_FLOAT_EQ(volumeAt(10), 0.0F);
    EXPECT_FLOAT_EQ(volumeAt(11), 0.5F);
    EXPECT_FLOAT_EQ(volumeAt(12), 1.0F);
    EXPECT_FLOAT_EQ(volumeAt(15), 1.0F);
    EXPECT_FLOAT_EQ(volumeAt(19.5), 0.5F);
    EXPECT_FLOAT_EQ(volumeAt(5), 1.0F) << "outside the kept range nothing is faded";

    // In preview the ramp is heard from the trim start on.
    library.previewAndStop();
    tick(1);
    ASSERT_FALSE(output_->volumeChanges().empty());
    EXPECT_NEAR(output_->volumeChanges().back().volume, 0.5F, 1e-4);

    // Fades taken back to 0 mid-fade: full volume at the next tick.
    library.setFadeInTime(0);
    library.setFadeOutTime(0);
    tick(0.1);
    EXPECT_EQ(A::player(library)->volume(), 1.0F);
    const auto changes = output_->volumeChanges().size();
    tick(1);
    EXPECT_EQ(output_->volumeChanges().size(), changes) << "once back at 1 the volume is left alone";
}

TEST_F(LibraryTest, ChoosingRowsTheSpaceBarAndClosingTheWindow)
{
    const QString a = file(QStringLiteral("a.wav"), 40);
    const QString b = file(QStringLiteral("b.wav"), 20);
    store(QVariantList{item(a, 40), item(b, 20)});
    AudioLibraryWnd& library = open();
    QWidget* window = library.window();
    AudioItemView* first = A::rows(library)[0];
    library.chooseTheAudioItem(first);
    library.leftTrimRate(0.5F);
    library.setFadeInTime(3);
    library.playAndPause();
    tick(1);
    const int players = output_->playersMade();

    library.chooseTheAudioItem(first);
    EXPECT_EQ(output_->playersMade(), players) << "the chosen row again changes nothing";
    EXPECT_EQ(A::player(library)->rate(), 1.0F);

    library.chooseTheAudioItem(A::rows(library)[1]);
    EXPECT_EQ(output_->playersMade(), players + 1);
    EXPECT_FALSE(first->isChoose());
    EXPECT_EQ(A::player(library)->rate(), 0.0F);
    EXPECT_EQ(A::widget<PlayProgressView>(library, "playProgressView_")->startTrimRate(), 0.0F);
    EXPECT_EQ(A::widget<QLineEdit>(library, "fadeInTimeEdt_")->text(), QStringLiteral("0.0"));
    EXPECT_EQ(A::preview(library).length(), 20.0F);
    EXPECT_EQ(A::widget<QLabel>(library, "showPlayTime_")->text(), QStringLiteral("00:00:00/00:00:20"));

    // The space bar plays and pauses the chosen row; in a fade field it is typing.
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    QTest::keyClick(window, Qt::Key_Space);
    EXPECT_EQ(A::player(library)->rate(), 1.0F);
    QTest::keyClick(window, Qt::Key_Space);
    EXPECT_EQ(A::player(library)->rate(), 0.0F);
    A::widget<QLineEdit>(library, "fadeInTimeEdt_")->setFocus();
    QTest::keyClick(A::widget<QLineEdit>(library, "fadeInTimeEdt_"), Qt::Key_Space);
    EXPECT_EQ(A::player(library)->rate(), 0.0F);

    // Closing stops playback and stores the list, and the window comes back where it was.
    QSettings().remove(SettingsKey::AudioItemData);
    library.playAndPause();
    window->setGeometry(QRect(120, 90, 700, 520));
    const QRect placed = window->geometry();
    window->close();
    EXPECT_EQ(A::player(library)->rate(), 0.0F);
    EXPECT_FALSE(A::preview(library).isPlaying());
    EXPECT_EQ(storedList().size(), 2);
    library_.reset();
    QWidget* again = open(0).window();
    EXPECT_EQ(again->size(), placed.size());
    EXPECT_EQ(again->pos(), placed.topLeft());
}

TEST_F(LibraryTest, ARecoveredRecordingIsListedOnceWithItsLengthAndStored)
{
    // Completing a killed file is tested with the engine and, end to end, with the application killed.
    const QString path = file(QStringLiteral("24_03_05 14_07_09_Audio.wav"), 3);
    store(QVariantList{item(file(QStringLiteral("older.wav"), 1), 1)});
    AudioLibraryWnd& library = open();
    int finished = 0;
    library.recoverAudioItemFromPath(path, [&] { ++finished; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished == 1; }, 30000));
    ASSERT_EQ(A::rows(library).size(), 2);
    EXPECT_EQ(A::rows(library)[1]->timeStr(), QStringLiteral("00:00:03"));
    EXPECT_EQ(library.chooseAudioItem(), nullptr) << "nothing is chosen behind the user's back";
    ASSERT_EQ(storedList().size(), 2);
    EXPECT_FLOAT_EQ(storedList()[1].toMap().value(QStringLiteral("AudioLength")).toFloat(), 3.0F);

    // Already listed, under another spelling of its path: not listed twice.
    library.recoverAudioItemFromPath(
        dir_.path() + QStringLiteral("/./") + QFileInfo(path).fileName(), [&] { ++finished; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished == 2; }, 30000));
    // A mark for a file that is gone finishes at once and adds nothing.
    library.recoverAudioItemFromPath(dir_.filePath(QStringLiteral("gone.m4a")), [&] { ++finished; });
    EXPECT_EQ(finished, 3);
    EXPECT_EQ(A::rows(library).size(), 2);
    EXPECT_EQ(storedList().size(), 2);
}
