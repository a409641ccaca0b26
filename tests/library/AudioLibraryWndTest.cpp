// The library window on the offscreen platform, with real files read through
// FFmpeg and the virtual-time player: the stored list and its rows, choosing
// and deleting, the preview and its loop, the edit clamps, and the export
// command with its dialog, worker thread and report. Then its drawn views
// (row, play progress and trim bar, panels): their pixels, what their
// delegates hear of clicks and drags, and the rule they all keep: a click on
// one ends the editing of a text field.
#include "AudioLibrary/AudioLibraryWnd.h"
#include "AudioLibrary/AudioBottomBackView.h"
#include "AudioLibrary/AudioItemView.h"
#include "AudioLibrary/AudioLibBackView.h"
#include "AudioLibrary/AudioRowPool.h"
#include "Tray/AccessibleViews.h"
#include "View/PlayProgressView.h"
#include "View/WaveformStripView.h"
#include "View/AudioWaveView.h"
#include "Preferences/AppControl.h"
#include "support/backends/VirtualMediaPlayer.h"
#include "platform/InterruptedRecording.h"
#include "Desktop/Resources.h"
#include "Desktop/Trash.h"
#include "Desktop/Workspace.h"
#include "Desktop/YUp.h"
#include "support/QtEnvironment.h"
#include "support/PixelContrast.h"
#include "support/PulseServer.h"
#include "support/Signal.h"
#include "support/StereoFile.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QScopeGuard>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QSignalSpy>
#include <QStyle>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <QToolButton>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <set>

#include <sys/stat.h>

namespace {

QVariantMap item(const QString& path, float length)
{
    return {{QStringLiteral("AudioPath"), path}, {QStringLiteral("AudioLength"), length}};
}

QStringList paths(const QVariantList& items)
{
    QStringList paths;
    for (const QVariant& entry : items)
        paths.append(entry.toMap().value(QStringLiteral("AudioPath")).toString());
    return paths;
}

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class RevealRecorder : public Workspace {
public:
    void revealInFileManager(const QString& path) override { revealed.append(path); }
    QStringList revealed;
};

}  // namespace

// A friend of the library window, so that the tests read its store, preview
// and rows beyond what its widgets show.
struct AudioLibraryWndTestAccess : public ::testing::Test {
    void SetUp() override
    {
        QSettings().clear();
        QDir(listFolder()).removeRecursively();
        output_ = VirtualMediaOutput::install();
        Workspace::setShared(&workspace_);
    }
    void TearDown() override
    {
        library_.reset();
        Workspace::setShared(nullptr);
        output_.reset();
        QSettings().clear();
        QDir(listFolder()).removeRecursively();
    }
    static QString listFolder() { return QFileInfo(AudioLibraryStore::listPath()).absolutePath(); }
    // The list as it is on the disk once the writes handed over are done:
    // each line's path and length, read as the file URLs they are.
    QVariantList storedList() const
    {
        if (library_)
            waitForWrites();
        QVariantList items;
        for (const QByteArray& line : contents(AudioLibraryStore::listPath()).split('\n').mid(1)) {
            if (const qsizetype space = line.indexOf(' '); space > 0)
                items.append(item(QUrl::fromEncoded(line.left(space)).toLocalFile(), line.mid(space + 1).toFloat()));
        }
        return items;
    }

    // A quiet tone at a low rate: the player here runs in virtual time.
    QString file(const QString& name, double seconds)
    {
        const QString path = dir_.filePath(name);
        const auto tone = signal_test::sine(440, 8000, std::size_t(std::llround(seconds * 8000)), 0.1);
        EXPECT_EQ(writeStereoFile(path.toStdString(), 8000, tone, tone), noErr);
        return path;
    }
    // A list kept where earlier versions kept it, with no list file yet.
    void store(const QVariant& list)
    {
        QFile::remove(AudioLibraryStore::listPath());
        QSettings().setValue(SettingsKey::AudioItemData, list);
    }
    // A library loaded from the store, its list's visible area `visibleHeight` high (0: as it comes).
    AudioLibraryWnd& open(int visibleHeight = 400)
    {
        library_ = std::make_unique<AudioLibraryWnd>();
        // Before the events that carry what the start found.
        notices_ = std::make_unique<QSignalSpy>(library_.get(), &AudioLibraryWnd::userNotified);
        QWidget* window = library_->window();
        if (visibleHeight > 0) {
            window->show();
            window->resize(window->width(), window->height() - scroll()->contentsRect().height() + visibleHeight);
            QCoreApplication::processEvents();
        }
        return *library_;
    }
    // One 40 s recording, chosen.
    AudioLibraryWnd& openFortySecondsChosen()
    {
        store(QVariantList{item(file(QStringLiteral("forty.wav"), 40), 40)});
        open().chooseTheAudioItemAt(0);
        return *library_;
    }

    // The row widget showing item `index`; null while that item is out of view.
    AudioItemView* row(qsizetype index) const { return library_->rows_ ? library_->rows_->viewAt(index) : nullptr; }
    // Whether no row in view waits for its length.
    bool measured() const
    {
        for (qsizetype i = 0; i < count(); ++i)
            if (row(i) && row(i)->timeStr() == QString::fromUtf8("measuring\u2026"))
                return false;
        return true;
    }
    qsizetype count() const { return library_->store_.items().size(); }
    QStringList listed() const { return paths(library_->store_.items()); }
    const AudioPreview& preview() const { return library_->preview_; }
    MediaPlayer* player() const { return library_->preview_.player_.get(); }
    QProgressBar* exportProgress() const { return library_->exportProgress_; }
    void waitForWrites() const { library_->store_.waitForWrites(); }
    void undoFor(int milliseconds) { library_->undoTimer_.setInterval(milliseconds); }
    // A widget of the window by its name in the interface file.
    template <class T> T* widget(const char* name) const
    {
        return library_->window()->findChild<T*>(QLatin1String(name));
    }
    double position() const { return player()->currentTime().seconds(); }
    PlayProgressView* bar() const { return widget<PlayProgressView>("playProgressView_"); }
    // The bar's start, end and play rates.
    std::vector<float> rates() const { return {bar()->startTrimRate(), bar()->endTrimRate(), bar()->playRate()}; }
    QScrollArea* scroll() const { return widget<QScrollArea>("listScroll"); }
    QLineEdit* field(const char* name) const { return widget<QLineEdit>(name); }
    QString label(const char* name) const { return widget<QLabel>(name)->text(); }
    bool shows(const char* button, const char* image) const
    {
        const auto pixels = [](const QIcon& icon) { return icon.pixmap(QSize(36, 36)).toImage(); };
        return pixels(widget<QToolButton>(button)->icon()) == pixels(resources::icon(QString::fromLatin1(image)));
    }
    // How many of the seven editing controls, all of which an export locks, are enabled.
    int enabledControls() const
    {
        int enabled = scroll()->isEnabled() + bar()->isEnabled() + field("fadeInTimeEdt_")->isEnabled()
            + field("fadeOutTimeEdt_")->isEnabled();
        for (const char* name : {"btnStartTrim_", "btnEndTrim_", "btnExport_"})
            enabled += widget<QPushButton>(name)->isEnabled();
        return enabled;
    }
    // The list's height, then the origins of the rows in view, in the list's y-up coordinates.
    std::vector<double> rowYs() const
    {
        const int listHeight = widget<AudioLibBackView>("vLibiaryBack_")->height();
        std::vector<double> ys{double(listHeight)};
        for (qsizetype i = 0; i < count(); ++i)
            if (const AudioItemView* shown = row(i))
                ys.push_back(yup::toView(QPointF(shown->x(), shown->y() + shown->height()), listHeight).y());
        return ys;
    }
    // Plays `seconds` in 0.1 s steps with a play-timer tick after each while
    // the timer runs; `heard` sees each step's position before its tick.
    void tick(
        double seconds, const std::function<void()>& heard = [] {})
    {
        for (int i = 0; i < int(std::lround(seconds * 10)); ++i) {
            output_->advance(0.1);
            heard();
            if (preview().isPlaying())
                library_->flushPlayTime();
        }
    }
    bool waitForExport(const std::function<void()>& whileRunning = [] {})
    {
        return QTest::qWaitFor([&] { return !library_->isExporting() || (whileRunning(), false); }, 120000);
    }

    QTemporaryDir dir_;
    RevealRecorder workspace_;
    std::unique_ptr<VirtualMediaOutput> output_;
    std::unique_ptr<AudioLibraryWnd> library_;
    std::unique_ptr<QSignalSpy> notices_;  // the last opened library's
};
using LibraryTest = AudioLibraryWndTestAccess;

TEST_F(LibraryTest, RowsAreLaidOutFromTheTopAndEveryAdditionDropDeletionAndRecoveryIsStoredAtOnce)
{
    const QString a = file(QStringLiteral("a.wav"), 40);
    const QString n = file(QStringLiteral("n.wav"), 2);
    // Kept wherever the file is; dropped when it is gone or is no file; hidden,
    // in its place, while its folder is gone (an unmounted disk).
    const QString away = dir_.filePath(QStringLiteral("unmounted/away.wav"));
    store(QVariantList{item(a, 40), item(dir_.filePath(QStringLiteral("gone.wav")), 5), item(dir_.path(), 1),
        item(n, std::nanf("")), item(a, 40), item(away, 2)});
    AudioLibraryWnd& library = open(400);
    EXPECT_EQ(paths(storedList()), (QStringList{a, n, a, away})) << "the drops are stored at once";
    EXPECT_FALSE(QSettings().contains(SettingsKey::AudioItemData)) << "moved out of the settings";
    EXPECT_EQ(rowYs(), (std::vector<double>{400, 346, 292, 238}));
    EXPECT_EQ(row(1)->timeStr(), QStringLiteral("00:00:00")) << "a NaN length shows as zero";
    EXPECT_EQ(library.chooseAudioItem(), -1);
    EXPECT_EQ(enabledControls(), 2) << "only the list and the bar, with no recording";

    // Additions go to the bottom, chosen and measured; past the visible area the list scrolls to them.
    // The last three are the parts of one split take, named as parts of it.
    library.chooseTheAudioItemAt(0);
    QStringList added;
    for (int i = 0; i < 7; ++i) {
        added.append(file(i < 4 ? QStringLiteral("24_03_05 14_07_0%1_Audio.wav").arg(i)
                                : QStringLiteral("24_03_05 14_07_04_Audio 00%1.wav").arg(i - 3),
            59.9));
        library.addAudioItemFromPath(added.back());
    }
    library.flushAudioLibrary();
    EXPECT_EQ(rowYs().back(), 0) << "the list grew to hold them, from the top";
    EXPECT_EQ(scroll()->verticalScrollBar()->value(), scroll()->verticalScrollBar()->maximum());
    EXPECT_GT(scroll()->verticalScrollBar()->maximum(), 0);
    EXPECT_EQ(library.chooseAudioItem(), 9);
    EXPECT_TRUE(row(9)->isChoose());
    EXPECT_EQ(row(9)->name(), QStringLiteral("24_03_05 14_07_04_Audio, part 3 of 3"));
    EXPECT_EQ(row(7)->name(), QStringLiteral("24_03_05 14_07_04_Audio, part 1 of 3"));
    EXPECT_EQ(row(6)->name(), QStringLiteral("24_03_05 14_07_03_Audio"));
    EXPECT_EQ(row(9)->timeStr(), QStringLiteral("00:00:59"));
    EXPECT_EQ(enabledControls(), 7);
    ASSERT_EQ(storedList().size(), 11) << "the hidden entry too";
    EXPECT_NEAR(storedList()[10].toMap().value(QStringLiteral("AudioLength")).toDouble(), 59.9, 1e-3);

    // A row's own delete button removes that row and its own item only, not
    // the first equal one; its widget then shows the item that moved up.
    library.chooseTheAudioItemAt(0);
    scroll()->verticalScrollBar()->setValue(0);
    EXPECT_FALSE(row(9)) << "out of view";
    library.playAndPause();
    AudioItemView* deleted = row(2);
    QTest::mouseClick(deleted->deleteButton(), Qt::LeftButton);
    ASSERT_EQ(count(), 9);
    EXPECT_EQ(rowYs()[3], 324) << "the next row moves up one place";
    EXPECT_EQ(deleted->name(), QFileInfo(added[0]).completeBaseName());
    EXPECT_FALSE(row(0)->isChoose());
    EXPECT_EQ(library.chooseAudioItem(), -1);
    EXPECT_EQ(player(), nullptr);
    EXPECT_TRUE(QFileInfo::exists(a)) << "the file stays";
    EXPECT_EQ(paths(storedList()), QStringList({a, n, away}) + added);
    // What was handed to the writer is on the disk before the store goes.
    {
        AudioLibraryStore store;
        store.load();
        store.add(a);
        store.write();
    }
    EXPECT_EQ(storedList().size(), 11);
    ASSERT_TRUE(QDir(dir_.path()).mkdir(QStringLiteral("unmounted")));
    file(QStringLiteral("unmounted/away.wav"), 2);
    open(400);
    EXPECT_EQ(row(2)->audioPath(), away) << "shown again at the next start";

    // A recovered recording is listed once, with its length. (Completing a
    // killed file is tested with the engine and, end to end, with the application killed.)
    const QString recovered = file(QStringLiteral("24_03_05 14_07_09_Audio.wav"), 3);
    int finished = 0;
    library_->recoverAudioItemFromPath(recovered, [&] { ++finished; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished == 1; }, 30000));
    EXPECT_EQ(library_->chooseAudioItem(), -1) << "nothing is chosen behind the user's back";
    ASSERT_EQ(storedList().size(), 12);
    EXPECT_FLOAT_EQ(storedList()[11].toMap().value(QStringLiteral("AudioLength")).toFloat(), 3.0F);
    // Already listed under another spelling of its path, or gone: nothing is added.
    library_->recoverAudioItemFromPath(dir_.path() + "/./" + QFileInfo(recovered).fileName(), [&] { ++finished; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished == 2; }, 30000));
    library_->recoverAudioItemFromPath(dir_.filePath(QStringLiteral("gone.m4a")), [&] { ++finished; });
    EXPECT_EQ(finished, 3) << "a file that is gone finishes at once";
    EXPECT_EQ(storedList().size(), 12);
    // A mixed take's mark names its sources' files too: they are listed right after it.
    const QString mixed = file(QStringLiteral("24_03_05 14_07_10_Audio.wav"), 2);
    const QString input = file(QStringLiteral("24_03_05 14_07_10_Audio.input.wav"), 2);
    const QString system = file(QStringLiteral("24_03_05 14_07_10_Audio.system.wav"), 2);
    library_->recoverAudioItemFromPath(
        QString::fromStdString(recordingMark(mixed.toStdString(), {input.toStdString(), system.toStdString()})),
        [&] { ++finished; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished == 4; }, 30000));
    EXPECT_EQ(paths(storedList()).mid(12), (QStringList{mixed, input, system}));
}

TEST_F(LibraryTest, HostileSettingsAreReadAsFarAsTheyGoAndNeverStoredAsAnInvalidValue)
{
    const QString a = file(QStringLiteral("a.wav"), 40), n = file(QStringLiteral("n.wav"), 2);
    const QString path = QStringLiteral("AudioPath");
    const std::pair<QVariant, QStringList> cases[] = {
        {item(a, 40), {a}},           // one item, not a list of one
        {QStringList{a, n}, {a, n}},  // a comma list of paths, measured
        {QVariantList{QStringLiteral("not a map"), QVariantMap{{path, 42}}, item(dir_.filePath("gone.wav"), 5),
             QStringLiteral("a.wav"), QVariantList{item(a, 40), QVariantList{"file://" + n}}},
            {a, n}},
        {QVariantMap{{QStringLiteral("0"), QUrl::fromLocalFile(n)}, {QStringLiteral("1"), a.toUtf8()}}, {n, a}},
        {QStringLiteral("junk"), {}},
        {QVariantList{}, {}},
    };
    for (const auto& [stored, expected] : cases) {
        store(stored);
        open(400);
        ASSERT_TRUE(QTest::qWaitFor([&] { return measured(); }, 30000));
        library_->writeData();
        QStringList shown;
        for (qsizetype i = 0; i < count(); ++i) {
            shown.append(row(i)->audioPath());
            EXPECT_EQ(row(i)->timeStr(), row(i)->audioPath() == a ? "00:00:40" : "00:00:02");
        }
        EXPECT_EQ(shown, expected) << stored.typeName();
        EXPECT_EQ(paths(storedList()), expected);
        EXPECT_FALSE(contents(QSettings().fileName()).contains("@Invalid"));
    }
}

TEST_F(LibraryTest, TheListFileHoldsAnyPathKeepsLinesItCannotReadAndMeasuresMissingLengthsLater)
{
    QStringList odd;
    QVariantList items;
    for (const char* name :
        {"a b%20c.wav", "line\nbreak.wav", "tab\there #1.wav", "\u00fc \u20ac \u97f3.wav", "100%"}) {
        odd.append(file(QString::fromUtf8(name), 2));
        items.append(item(odd.back(), 2.5F));
    }
    store(items);
    open(0);
    ASSERT_EQ(storedList(), items);
    // Good lines among ones that name no recording (kept as they are, in
    // their places, and told once), lengths that are no usable number
    // (measured after the start, the rows saying so meanwhile), and a name
    // Qt cannot hold (kept, without a row). DOS line ends read as any other.
    const QString n = file(QStringLiteral("n.wav"), 2);
    file(QStringLiteral("My Take%.wav"), 5);
    const QByteArray url = QUrl::fromLocalFile(n).toEncoded();
    const QByteArray alien = "file:///music/%FF%FEx.wav 3";
    // Not measured while its folder is gone, and still without a length when written back.
    const QByteArray away = QUrl::fromLocalFile(dir_.filePath(QStringLiteral("unmounted/x.wav"))).toEncoded();
    const QList<QByteArray> unread{
        "garbage", "file://relative/a.wav 1", QUrl::fromLocalFile(dir_.path()).toEncoded() + "/My%20Take%.wav 5"};
    QFile list(AudioLibraryStore::listPath());
    const QByteArray stored = contents(list.fileName());
    ASSERT_TRUE(list.open(QIODevice::WriteOnly));
    list.write(QByteArray(stored).replace("library 1\n", "library 1\r\n") + unread.join('\n') + '\n' + url + " 2x\n"
        + url + " nan\n" + url + " -1\n" + url + "\r\n" + alien + "\n" + away + "\n"
        + QUrl::fromLocalFile(odd[0]).toEncoded().chopped(6));
    list.close();
    library_.reset();
    // Not shown, so no event has been handled yet: what the rows say before any length came in.
    open(0);
    const QSignalSpy& told = *notices_;
    ASSERT_EQ(count(), 9);
    EXPECT_EQ(AudioLibraryStore::pathOf(QVariant(row(5)->dicObject())), n);
    EXPECT_EQ(row(5)->timeStr(), QString::fromUtf8("measuring\u2026"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return measured(); }, 30000));
    EXPECT_EQ(row(5)->timeStr(), QStringLiteral("00:00:02"));
    ASSERT_EQ(told.size(), 1);
    EXPECT_TRUE(told[0][1].toString().startsWith(QStringLiteral("3 line"))) << qPrintable(told[0][1].toString());
    waitForWrites();
    const QList<QByteArray> lines = contents(list.fileName()).split('\n');
    ASSERT_EQ(lines.size(), 16) << "the first line, five items, three kept, four measured, two hidden, the end";
    EXPECT_EQ(lines.mid(6, 3), unread);
    EXPECT_EQ(lines.value(12), url + " 2");
    EXPECT_EQ(lines.mid(13, 2), (QList<QByteArray>{alien, away}));
}

TEST_F(LibraryTest, AListThatCannotBeReadIsNeverReplacedAndOneThatCannotBeMovedStaysInTheSettings)
{
    const QString a = file(QStringLiteral("a.wav"), 40);
    // The data folder cannot be made: the settings keep the list, each change stored there, and the user is told once.
    QDir().mkpath(QFileInfo(listFolder()).absolutePath());
    QFile(listFolder()).open(QIODevice::WriteOnly);
    store(QVariantList{item(a, 40)});
    QSignalSpy told(&open(0), &AudioLibraryWnd::userNotified);
    EXPECT_EQ(paths(QSettings().value(SettingsKey::AudioItemData).toList()), QStringList{a});
    library_->addAudioItemFromPath(a);
    EXPECT_EQ(paths(QSettings().value(SettingsKey::AudioItemData).toList()), (QStringList{a, a}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return told.size() == 1; }, 5000));
    EXPECT_TRUE(told[0][1].toString().contains(AudioLibraryStore::listPath()));
    EXPECT_TRUE(told[0][1].toString().contains(listFolder() + QStringLiteral(" is not a folder")));

    // A folder in the list's place, a list of a later version, or a data
    // folder that is a link to another user's (whose list is not ours to
    // read or replace): the library works on without storing, and says why once.
    const QByteArray theirs("# TrayTape library 1\nfile:///theirs/secret.wav 5\n");
    for (const QByteArray& later : {QByteArray(), QByteArray("# TrayTape library 2\n"), theirs}) {
        QFile::remove(listFolder());
        QSettings().clear();
        const QString otherUsers = dir_.filePath(QStringLiteral("other-user"));
        if (later == theirs) {
            ASSERT_TRUE(QDir().mkpath(otherUsers));
            ASSERT_TRUE(QFile::link(otherUsers, listFolder()));
            ASSERT_EQ(::chown(QFile::encodeName(otherUsers).constData(), 4242, 4242), 0);  // the tests run as root
        }
        ASSERT_TRUE(QDir().mkpath(later.isEmpty() ? AudioLibraryStore::listPath() : listFolder()));
        QFile list(AudioLibraryStore::listPath());
        ASSERT_TRUE(later.isEmpty() || (list.open(QIODevice::WriteOnly) && list.write(later) > 0));
        list.close();
        QSignalSpy heard(&open(0), &AudioLibraryWnd::userNotified);
        library_->addAudioItemFromPath(a);
        library_->addAudioItemFromPath(a);
        EXPECT_EQ(count(), 2);
        library_->writeData();
        ASSERT_TRUE(QTest::qWaitFor([&] { return heard.size() == 1; }, 5000));
        QCoreApplication::processEvents();
        EXPECT_EQ(heard.size(), 1);
        EXPECT_TRUE(heard[0][1].toString().contains(QStringLiteral("cannot be read")));
        EXPECT_EQ(heard[0][1].toString().contains(QStringLiteral("another user")), later == theirs);
        EXPECT_TRUE(later.isEmpty() ? QFileInfo(list.fileName()).isDir() : contents(list.fileName()) == later);
        library_.reset();
        QFile::remove(listFolder());  // the link, when it is one
        QDir(listFolder()).removeRecursively();
    }

    // A data folder that may not be written is said to be read-only, not missing.
    const QByteArray data = qgetenv("XDG_DATA_HOME");
    const auto restore = qScopeGuard([&] { qputenv("XDG_DATA_HOME", data); });
    qputenv("XDG_DATA_HOME", "/sys/traytape-data");
    QSignalSpy readOnly(&open(0), &AudioLibraryWnd::userNotified);
    library_->addAudioItemFromPath(a);
    library_->writeData();
    ASSERT_TRUE(QTest::qWaitFor([&] { return readOnly.size() == 1; }, 5000));
    EXPECT_TRUE(readOnly[0][1].toString().contains(QStringLiteral("(/sys is read-only)")))
        << qPrintable(readOnly[0][1].toString());
    library_.reset();
}

TEST_F(LibraryTest, AHundredThousandRecordingsHaveRowWidgetsOnlyInViewEachShowingTheItemThere)
{
    // Item i lasts i seconds, so a row's length text names the item it shows.
    constexpr int kItems = 100000;
    const QString files[] = {file(QStringLiteral("a.wav"), 1), file(QStringLiteral("b.wav"), 1)};
    QVariantList items;
    for (int i = 0; i < kItems; ++i)
        items.append(item(files[i % 2], float(i)));
    store(items);
    AudioLibraryWnd& library = open(400);
    QWidget* window = library.window();
    QScrollBar* bar = scroll()->verticalScrollBar();
    ASSERT_EQ(bar->maximum(), 54 * kItems - 400);
    // The list's point at viewport height y is 54 i + 4 .. 54 i + 54 down for item i.
    for (const int value : {bar->maximum() / 2 + 17, bar->maximum(), 54 * 77777 + 30, 0}) {
        bar->setValue(value);
        EXPECT_LE(window->findChildren<AudioItemView*>().size(), 400 / 54 + 2);
        for (const int y : {2, 30, 200, 398}) {
            SCOPED_TRACE(testing::Message() << "scrolled to " << value << ", at " << y);
            const int down = value + y;
            auto* shown = qobject_cast<AudioItemView*>(scroll()->viewport()->childAt(300, y));
            ASSERT_EQ(shown != nullptr, down % 54 >= 4);
            if (shown) {
                EXPECT_EQ(shown->timeStr(), AppControl::getStringFromTimeValue(down / 54));
            }
        }
    }
    // A click chooses the item under it; Down chooses the next and scrolls it into view.
    bar->setValue(54 * 77777);
    QTest::mouseClick(scroll()->viewport()->childAt(300, 54 * 7 + 20), Qt::LeftButton);
    ASSERT_EQ(library.chooseAudioItem(), 77784);
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    QTest::keyClick(window, Qt::Key_Down);
    EXPECT_EQ(library.chooseAudioItem(), 77785);
    EXPECT_EQ(bar->value(), 54 * 77786 - 400);
    EXPECT_TRUE(row(77785)->isChoose());
    EXPECT_FALSE(row(77784)->isChoose());
}

TEST_F(LibraryTest, PreviewLoopsTheTrimRangeWithItsFadesAndPlayRewindsAtTheEnd)
{
    AudioLibraryWnd& library = openFortySecondsChosen();
    // Plain play with no fades leaves the volume alone, and at the end pauses and rewinds.
    library.seekPlayRate(39.0F / 40.0F);
    library.playAndPause();
    tick(0.8);
    EXPECT_EQ(player()->rate(), 1.0F) << "still playing at 39.8 s";
    tick(0.1);
    EXPECT_EQ(player()->rate(), 0.0F);
    EXPECT_DOUBLE_EQ(position(), 0.0);
    EXPECT_TRUE(shows("playBtn_", "Play.png"));
    EXPECT_EQ(label("showPlayTime_"), QStringLiteral("00:00.0/00:40.0"));
    EXPECT_FALSE(output_->envelope()) << "every frame as it is";

    library.leftTrimRate(0.25F);
    library.rightTrimRate(0.5F);
    library.setFadeInTime(2);
    library.setFadeOutTime(1);
    library.previewAndStop();
    EXPECT_TRUE(shows("previewBtn_", "PrePause.png"));
    EXPECT_DOUBLE_EQ(position(), 10.0);
    EXPECT_EQ(label("showStartTrim_") + label("showEndTrim_"), QStringLiteral("00:10.000:20.0"));
    // The player shapes every frame as the export will (FadeEnvelope's own
    // gains), and in the loop sounds nothing outside the range.
    const auto shaped = output_->envelope();
    ASSERT_TRUE(shaped && shaped->onlyRange);
    EXPECT_EQ(std::tuple(shaped->fades.trimStart, shaped->fades.trimEnd, shaped->fades.fadeIn, shaped->fades.fadeOut),
        std::tuple(10.0F, 20.0F, 2.0F, 1.0F));
    double highest = 0, lowest = 40, last = position();
    int loops = 0;
    tick(34, [&] {
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
    // Plain play keeps the fades and sounds outside the range; fades taken
    // back to 0 leave the loop its range, and plain play every frame as it is.
    library.setIsPreviewPlay_(false);
    library.flushFadeInAndOut(20.05F);
    EXPECT_FALSE(output_->envelope()->onlyRange);
    library.setIsPreviewPlay_(true);
    library.flushFadeInAndOut(20.05F);
    library.setFadeInTime(0);
    library.setFadeOutTime(0);
    EXPECT_TRUE(output_->envelope()->onlyRange && !output_->envelope()->fades.fades());
    library.setIsPreviewPlay_(false);
    library.flushFadeInAndOut(20.05F);
    EXPECT_FALSE(output_->envelope());
    library.setIsPreviewPlay_(true);
    EXPECT_EQ(player()->volume(), 1.0F) << "the volume is the user's, never the fades'";

    // With the trim end at 1 the preview rewinds to 0 too, still in preview
    // mode; play then goes on from the trim start, until the preview stops.
    library.rightTrimRate(1);
    library.leftTrimRate(0.9F);
    tick(5);
    EXPECT_EQ(player()->rate(), 0.0F);
    EXPECT_DOUBLE_EQ(position(), 0.0);
    EXPECT_TRUE(library.isPreviewPlay_());
    library.playAndPause();
    tick(0.1);
    EXPECT_DOUBLE_EQ(position(), 36.0);
    library.previewAndStop();
    EXPECT_EQ(player()->rate(), 0.0F);
    EXPECT_TRUE(shows("previewBtn_", "PrePlay.png"));
}

TEST_F(LibraryTest, EditsAreClampedOrRefusedAndAFileThatDoesNotLoadLeavesNothingBehind)
{
    AudioLibraryWnd& library = openFortySecondsChosen();
    library.seekPlayRate(1.7F);
    EXPECT_DOUBLE_EQ(position(), 40.0);
    library.seekPlayRate(std::nanf(""));
    library.rightTrimRate(0.5F);
    library.leftTrimRate(0.8F);   // the start stops at the end
    library.rightTrimRate(0.2F);  // the end stops at the start
    EXPECT_EQ(rates(), (std::vector<float>{0.5F, 0.5F, 0}));
    library.leftTrimRate(-1);
    library.rightTrimRate(3);
    EXPECT_EQ(rates(), (std::vector<float>{0, 1, 0}));
    // The set-trim buttons take the play position; moving a trim point never moves it.
    library.seekPlayRate(0.3F);
    library.StartTrimSetPlayTime();
    library.seekPlayRate(0.6F);
    library.EndTrimSetPlayTime();
    EXPECT_EQ(rates(), (std::vector<float>{0.3F, 0.6F, 0.6F}));

    // A fade field takes 0 to 5 s; each edit (one each, as a paste makes it)
    // is kept or undone against the one before; the fade in use is the one shown.
    QLineEdit* in = field("fadeInTimeEdt_");
    const std::pair<const char*, const char*> edits[] = {{"2", "2.0"}, {"7", "2.0"}, {"2.06", "2.1"}, {"nan", "2.1"},
        {"inf", "2.1"}, {"-1", "2.1"}, {"5", "5.0"}, {"5.04", "5.0"}, {"abc", "0.0"}, {"1.5s", "1.5"}};
    for (const auto& [typed, shown] : edits) {
        in->selectAll();
        in->insert(QString::fromLatin1(typed));
        EXPECT_EQ(in->text(), QString::fromLatin1(shown)) << "typed " << typed;
        EXPECT_EQ(preview().fadeIn(), in->text().toFloat()) << "typed " << typed;
    }
    // Typing digit by digit into the rewritten field reaches what was meant.
    field("fadeOutTimeEdt_")->selectAll();
    QTest::keyClicks(field("fadeOutTimeEdt_"), QStringLiteral("1.5"));
    EXPECT_EQ(field("fadeOutTimeEdt_")->text(), QStringLiteral("1.5"));
    EXPECT_EQ(preview().fadeOut(), 1.5F);

    // An empty file, then one that is no audio: the row stays chosen, and
    // nothing of the recording before stays loaded or reads as NaN.
    const QString text = dir_.filePath(QStringLiteral("notes.wav"));
    std::ofstream(text.toStdString()) << "not audio at all";
    for (const QString& bad : {file(QStringLiteral("empty.wav"), 0), text}) {
        library.chooseTheAudioItemAt(0);
        library.rightTrimRate(0.5F);
        library.playAndPause();
        library.addAudioItemFromPath(bad);
        EXPECT_EQ(library.chooseAudioItem(), count() - 1);
        EXPECT_EQ(player(), nullptr);
        EXPECT_EQ(enabledControls(), 2);
        library.playAndPause();
        library.previewAndStop();
        library.seekPlayRate(0.5F);
        EXPECT_EQ(rates(), (std::vector<float>{0, 1, 0.5F}));
        EXPECT_EQ(label("showPlayTime_"), QStringLiteral("00:00.0/00:00.0"));
    }
}

TEST_F(LibraryTest, AScreenReaderHearsTheRowsTheirButtonsTheTrimBarAndTheMeter)
{
    installAccessibleViews();
    const QString a = file(QStringLiteral("a.wav"), 40), b = file(QStringLiteral("b.wav"), 20);
    store(QVariantList{item(a, 40), item(b, 20), item(file(QStringLiteral("two.wav"), 2), 2)});
    AudioLibraryWnd& library = open();
    QWidget* window = library.window();
    // Role, name, and the value as text and as a number.
    const auto heard = [](QObject* view) {
        QAccessibleInterface* face = QAccessible::queryAccessibleInterface(view);
        const QAccessibleValueInterface* value = face->valueInterface();
        return (QString::number(face->role(), 16) + " | " + face->text(QAccessible::Name)
            + (value ? " | " + face->text(QAccessible::Value) + " = "
                        + QString::number(value->currentValue().toDouble(), 'g', 3)
                     : QString()))
            .toStdString();
    };
    QAccessibleInterface* third = QAccessible::queryAccessibleInterface(row(2));
    EXPECT_EQ(heard(third->parent()->object()), "21 | Recordings");
    EXPECT_EQ(heard(third->object()), "22 | two, 00:00:02");
    EXPECT_EQ(heard(row(2)->deleteButton()), "2b | Remove two from the list");
    EXPECT_FALSE(third->state().selected);
    third->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_EQ(library.chooseAudioItem(), 2);
    EXPECT_TRUE(third->state().selected);

    library.leftTrimRate(0.25F);
    library.rightTrimRate(0.5F);
    library.seekPlayRate(0.3F);
    EXPECT_EQ(heard(bar()), "33 | Play position | 30%, keeping 25% to 50% = 0.3");
    QAccessible::queryAccessibleInterface(bar())->valueInterface()->setCurrentValue(0.75);
    EXPECT_DOUBLE_EQ(position(), 1.5) << "set as a click on the bar";

    AudioWaveView meter;
    EXPECT_EQ(heard(&meter), "30 | Input level | silent = 0");
    for (int i = 0; i < AudioWaveView::kColumns; ++i)
        meter.appendBuildInAudioWave(i == 4 ? 0.25F : 0.01F);
    EXPECT_EQ(heard(&meter), "30 | Input level | -12 dB = 0.25");

    // The delete button pressed by a screen reader removes its row's item, not the chosen one.
    library.chooseTheAudioItemAt(0);
    QAccessible::queryAccessibleInterface(row(2)->deleteButton())
        ->actionInterface()
        ->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_TRUE(QTest::qWaitFor([&] { return storedList().size() == 2; }));
    EXPECT_EQ(paths(storedList()), (QStringList{a, b}));

    // Closing stops playback, and the window comes back where it was.
    library.chooseTheAudioItemAt(0);
    library.playAndPause();
    window->setGeometry(QRect(120, 90, 700, 520));
    const QRect placed = window->geometry();
    window->close();
    EXPECT_EQ(player()->rate(), 0.0F);
    EXPECT_FALSE(preview().isPlaying());
    EXPECT_EQ(storedList().size(), 2);
    library_.reset();
    EXPECT_EQ(open(0).window()->geometry(), placed);
    // What is stored already is not written again (the whole file would be).
    QFile list(AudioLibraryStore::listPath());
    ASSERT_TRUE(list.open(QIODevice::Append));
    list.write("# untouched\n");
    list.close();
    library_->writeData();
    EXPECT_TRUE(contents(list.fileName()).endsWith("# untouched\n"));
}

TEST_F(LibraryTest, EachRecordingKeepsItsTrimAndFadesAcrossChoicesAndRestartsAndANewOneStartsUntrimmed)
{
    const QString a = file(QStringLiteral("a.wav"), 40), b = file(QStringLiteral("b.wav"), 20);
    store(QVariantList{item(a, 40), item(b, 20)});
    AudioLibraryWnd& library = open();
    library.chooseTheAudioItemAt(0);
    library.rightTrimRate(0.5F);
    library.leftTrimRate(0.25F);
    library.setFadeInTime(2);
    library.setFadeOutTime(1.5F);
    library.playAndPause();
    tick(1);
    const int players = output_->playersMade();
    library.chooseTheAudioItemAt(0);
    EXPECT_EQ(output_->playersMade(), players) << "the chosen row again changes nothing";
    EXPECT_EQ(player()->rate(), 1.0F);
    const auto shown
        = [&] { return std::tuple(rates(), field("fadeInTimeEdt_")->text(), field("fadeOutTimeEdt_")->text()); };
    const auto trimmed = std::tuple(std::vector<float>{0.25F, 0.5F, 0}, QStringLiteral("2.0"), QStringLiteral("1.5"));
    const auto untrimmed = std::tuple(std::vector<float>{0, 1, 0}, QStringLiteral("0.0"), QStringLiteral("0.0"));
    library.chooseTheAudioItemAt(1);
    EXPECT_EQ(player()->rate(), 0.0F);
    EXPECT_EQ(shown(), untrimmed);
    library.chooseTheAudioItemAt(0);
    EXPECT_EQ(shown(), trimmed);
    // Stored with its item, a moment after the last change: read back at the next start.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return storedList().size() == 2 && contents(AudioLibraryStore::listPath()).contains(" 40 0.25 0.5 2 1.5\n");
        },
        5000));
    library_.reset();
    open().chooseTheAudioItemAt(0);
    EXPECT_EQ(shown(), trimmed);
    // A new recording starts untrimmed, with the markers it was given, kept on a line of their own that
    // an earlier build skips; they are drawn, and "." and "," jump between them.
    library_->addAudioItemFromPath(file(QStringLiteral("c.wav"), 4), {1, 2.5});
    EXPECT_EQ(shown(), untrimmed);
    library_->writeData();
    ASSERT_TRUE(contents(AudioLibraryStore::listPath()).contains(" 4\n# markers 1 2.5\n"));
    library_.reset();
    open().window()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(library_->window()));
    library_->chooseTheAudioItemAt(2);
    for (const auto& [key, at] : {std::pair{Qt::Key_Period, 1.0F}, {Qt::Key_Period, 2.5F}, {Qt::Key_Comma, 1.0F}}) {
        QTest::keyClick(library_->window(), key);
        EXPECT_FLOAT_EQ(preview().position(), at);
    }
    QFile list(AudioLibraryStore::listPath());
    const QByteArray text = contents(list.fileName());
    ASSERT_TRUE(list.open(QIODevice::WriteOnly));
    list.write(QByteArray(text).replace(" 0.25 0.5 2 1.5", " 0.5 0.25 2 1.5"));
    list.close();
    library_.reset();
    open().chooseTheAudioItemAt(0);
    EXPECT_EQ(shown(), untrimmed);
}

TEST_F(LibraryTest, AnExportOffersTheRecordingsFormatRunsBesideTheWindowAndReportsItsEnd)
{
    AudioLibraryWnd& library = open();
    const QString wav = file(QStringLiteral("take.wav"), 1);
    const QString source = dir_.filePath(QStringLiteral("take.m4a"));
    ASSERT_EQ(writeToneFile(source.toStdString(), 40), noErr);
    library.addAudioItemFromPath(wav);
    EXPECT_EQ(library.getStrFormat(), QStringLiteral("wav"));
    library.addAudioItemFromPath(source);
    // The dialog opens beside the recording the first time, offering the recording's name.
    const auto dialogFolder = [&] {
        library.exportAudio();
        QPointer dialog = library.window()->findChild<QFileDialog*>();
        if (!dialog)
            return QStringLiteral("no dialog");
        EXPECT_EQ(dialog->defaultSuffix(), library.getStrFormat());
        EXPECT_EQ(dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->text(),
            QFileInfo(preview().path()).completeBaseName() + " (trimmed)." + library.getStrFormat());
        const QString folder = dialog->directory().absolutePath();
        dialog->reject();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return folder;
    };
    EXPECT_EQ(library.getStrFormat(), QStringLiteral("m4a"));
    EXPECT_EQ(dialogFolder(), QDir(dir_.path()).absolutePath());
    EXPECT_FALSE(library.isExporting()) << "cancelling changes nothing";

    // A range without audio (the start at the very end) is refused before
    // any dialog; exported onto itself: told, and the file left as it was.
    QSignalSpy told(&library, &AudioLibraryWnd::userNotified);
    library.leftTrimRate(1);
    EXPECT_EQ(dialogFolder(), QStringLiteral("no dialog"));
    library.leftTrimRate(0);
    const QByteArray sourceBytes = contents(source);
    library.exportAudioToPath(source);
    ASSERT_TRUE(waitForExport());
    ASSERT_EQ(told.size(), 2);
    EXPECT_EQ(told[0][0].toString(), QStringLiteral("Nothing to export"));
    EXPECT_TRUE(told[1][1].toString().contains(QLatin1String("onto itself")));
    EXPECT_EQ(contents(source), sourceBytes);

    // 10 to 30 s with fades, no extension typed: the one offered is added. It
    // runs beside the window with the editing controls locked; a second
    // export waits for the first, and a recording finished meanwhile is
    // loaded without unlocking them or changing what is exported.
    library.leftTrimRate(0.25F);
    library.rightTrimRate(0.75F);
    library.setFadeInTime(1);
    library.setFadeOutTime(2);
    QList<int> progress;
    QObject::connect(exportProgress(), &QProgressBar::valueChanged, [&](int v) { progress.append(v); });
    ASSERT_TRUE(QDir(dir_.path()).mkpath(QStringLiteral("out/exports")));
    library.exportAudioToPath(dir_.filePath(QStringLiteral("out/exports/part")));
    ASSERT_TRUE(library.isExporting());
    EXPECT_TRUE(widget<QToolButton>("playBtn_")->isEnabled()) << "playing goes on while exporting";
    int ticks = 0, lockedTicks = 0;
    library.window()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(library.window()));
    ASSERT_TRUE(waitForExport([&] {
        if (++ticks == 2)
            library.addAudioItemFromPath(wav);
        library.exportAudioToPath(dir_.filePath(QStringLiteral("second")));
        // Nor does the keyboard choose or delete a row meanwhile.
        const qsizetype chosen = library.chooseAudioItem(), listed = count();
        const std::vector<float> trim = rates();
        QTest::keyClick(library.window(), Qt::Key_Up);
        QTest::keyClick(library.window(), Qt::Key_Delete);
        QTest::keyClick(library.window(), Qt::Key_BracketLeft);
        lockedTicks
            += enabledControls() == 0 && library.chooseAudioItem() == chosen && count() == listed && rates() == trim
            ? 1
            : 0;
    }));
    EXPECT_GT(ticks, 2);
    EXPECT_EQ(lockedTicks, ticks);
    EXPECT_FALSE(QFile::exists(dir_.filePath(QStringLiteral("second.m4a"))));
    ASSERT_GE(progress.size(), 3) << "progress was shown on the way";
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_EQ(enabledControls(), 7);
    const QString exported = dir_.filePath(QStringLiteral("out/exports/part.m4a"));
    EXPECT_EQ(workspace_.revealed, QStringList{exported}) << "revealed, and never after a failure";
    EXPECT_EQ(told.size(), 2);
    EXPECT_EQ(dialogFolder(), QFileInfo(exported).absolutePath()) << "the next dialog opens where the user saved";

    // The same file the command line gives for the same request.
    const testsupport::CommandResult cli = testsupport::runCommand(
        {TRAYTAPE_BINARY_DIR "/traytape-cli", "export", "--start", "10", "--end", "30", "--fade-in", "1", "--fade-out",
            "2", source.toStdString(), dir_.filePath(QStringLiteral("cli.m4a")).toStdString()});
    ASSERT_TRUE(cli.ok()) << cli.errors;
    EXPECT_EQ(cli.output, "882000\t20.000\n");
    EXPECT_EQ(contents(exported), contents(dir_.filePath(QStringLiteral("cli.m4a"))));
    EXPECT_EQ(listed(), (QStringList{wav, source, exported, wav})) << "listed after its source";

    // Cancelled from beside its progress: the destination is left as it was,
    // with nothing hidden beside it, and nothing is listed, told or shown.
    library.chooseTheAudioItemAt(1);
    const QByteArray before = contents(exported);
    library.exportAudioToPath(exported);
    auto* cancel = widget<QPushButton>("exportCancel");
    ASSERT_TRUE(cancel->isVisible());
    cancel->click();
    ASSERT_TRUE(waitForExport());
    EXPECT_FALSE(cancel->isVisible());
    EXPECT_EQ(contents(exported), before);
    EXPECT_EQ(QDir(QFileInfo(exported).absolutePath()).entryList(QDir::Files | QDir::Hidden), QStringList{"part.m4a"});
    EXPECT_EQ(workspace_.revealed.size(), 1);
    // Exported again onto a listed file: listed once.
    library.exportAudioToPath(exported);
    ASSERT_TRUE(waitForExport());
    EXPECT_EQ(count(), 4);
    // That folder gone: beside the recording again.
    ASSERT_TRUE(QDir(QFileInfo(exported).absolutePath()).removeRecursively());
    EXPECT_EQ(dialogFolder(), QDir(dir_.path()).absolutePath());

    // Onto the recording in progress (as the settings mark it, or as the
    // recorder says), a FIFO or a write-protected file: told why in the
    // command line's words, and nothing there changes. The command line
    // finds the same mark in the settings file.
    library.chooseTheAudioItemAt(0);
    ASSERT_EQ(library.getStrFormat(), QStringLiteral("wav"));
    const QString marked = file(QStringLiteral("marked, in progress.wav"), 1);
    const QString current = file(QStringLiteral("current.wav"), 1);
    const QString readonly = file(QStringLiteral("readonly.wav"), 1);
    const QString fifo = dir_.filePath(QStringLiteral("fifo.wav"));
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    QFile::setPermissions(readonly, QFileDevice::ReadOwner);
    AppControl::AppWriteKeyValue(
        QString::fromStdString(recordingMark(marked.toStdString())), SettingsKey::RecordingInProgress);
    library.setRecordingInProgress([&] { return current; });
    const QByteArray kept = contents(marked);
    const std::pair<QString, QString> refused[] = {{marked, marked + " is being recorded"},
        {current, current + " is being recorded"}, {fifo, "(not a regular file)"}, {readonly, "(write-protected)"}};
    for (const auto& [path, says] : refused) {
        const qsizetype before = told.size();
        library.exportAudioToPath(path);
        ASSERT_TRUE(waitForExport());
        ASSERT_EQ(told.size(), before + 1) << "exported onto " << path.toStdString();
        EXPECT_TRUE(told.last()[1].toString().contains(says)) << told.last()[1].toString().toStdString();
    }
    EXPECT_EQ(contents(marked), kept);
    EXPECT_EQ(contents(current), kept);
    const testsupport::CommandResult onto = testsupport::runCommand(
        {TRAYTAPE_BINARY_DIR "/traytape-cli", "export", wav.toStdString(), marked.toStdString()});
    EXPECT_EQ(onto.exitCode, 2);
    EXPECT_NE(onto.errors.find(" is being recorded"), std::string::npos) << onto.errors;
    EXPECT_EQ(contents(marked), kept);

    // Normalising, chosen in the dialog, is kept for the next export, whose
    // finished notice gives the command line's figures for the same request.
    library.exportAudio();
    QPointer dialog = library.window()->findChild<QFileDialog*>();
    ASSERT_TRUE(dialog);
    auto* normalise = dialog->findChild<QCheckBox*>(QStringLiteral("normaliseLoudness"));
    ASSERT_TRUE(normalise);
    EXPECT_FALSE(normalise->isChecked());
    normalise->click();
    dialog->reject();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    const qsizetype notices = told.size();
    library.exportAudioToPath(dir_.filePath(QStringLiteral("normalised.wav")));
    ASSERT_TRUE(waitForExport());
    ASSERT_EQ(told.size(), notices + 1);
    const testsupport::CommandResult normalised = testsupport::runCommand({TRAYTAPE_BINARY_DIR "/traytape-cli",
        "export", "--loudness", "-16", wav.toStdString(), dir_.filePath(QStringLiteral("cli.wav")).toStdString()});
    ASSERT_TRUE(normalised.ok()) << normalised.errors;
    const std::string figures = normalised.output.substr(normalised.output.find("\nloudness ") + 10);
    EXPECT_EQ(told.last()[1].toString().toStdString(), "Loudness " + figures.substr(0, figures.size() - 1) + ".");
}

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

}  // namespace

// The chosen recording's loudness above the bar: decoded beside the window
// the first time, from the cache at once the next; outside the trim range
// dimmed; a click on it seeks as the bar does.
TEST_F(LibraryTest, TheChosenRecordingsWaveformIsDrawnAboveTheBarDimmedOutsideTheTrimAndAClickSeeks)
{
    const QString path = dir_.filePath(QStringLiteral("loud.wav"));
    const auto tone = signal_test::sine(440, 8000, 8 * 8000, 0.8);
    ASSERT_EQ(writeStereoFile(path.toStdString(), 8000, tone, tone), noErr);
    store(QVariantList{item(path, 8)});
    for (const bool cached : {false, true}) {
        SCOPED_TRACE(cached ? "cached" : "decoded");
        library_.reset();
        AudioLibraryWnd& library = open();
        library.chooseTheAudioItemAt(0);
        EXPECT_EQ(preview().overview().complete(), cached);
        ASSERT_TRUE(QTest::qWaitFor([&] { return preview().overview().complete(); }, 30000));
        auto* strip = widget<WaveformStripView>("waveformStrip_");
        ASSERT_EQ(strip->geometry().left(), bar()->geometry().left()) << "aligned with the bar's track";
        ASSERT_EQ(strip->width(), bar()->width());
        library.leftTrimRate(0.5F);
        strip->setMarkerRates({0.7});
        const QImage image = render(*strip);
        const auto at = [&](double rate, int y) { return pixel(image, int(strip->xForRate(rate)), y); };
        const int middle = strip->height() / 2;
        EXPECT_TRUE(near(at(0.75, middle), QColor(120, 175, 255))) << "kept";
        EXPECT_TRUE(near(at(0.25, middle), QColor(52, 70, 98))) << "trimmed off: dimmed";
        EXPECT_TRUE(near(at(0.75, 1), QColor(28, 28, 34))) << "above a peak of 0.8";
        EXPECT_TRUE(near(at(0.5, 1), QColor(255, 181, 46))) << "the trim start";
        EXPECT_TRUE(near(at(0.7, 1), QColor(80, 230, 140))) << "a marker";
        // Under the wave, a ruler: a tick every second of the eight, and none between.
        const int bottom = strip->height() - 1;
        for (int second = 1; second < 8; ++second) {
            if (second != 4) {  // the trim start's line
                EXPECT_TRUE(near(at(second / 8.0, bottom), QColor(150, 150, 160))) << second << " s";
            }
            EXPECT_TRUE(near(at((second + 0.5) / 8.0, bottom), QColor(28, 28, 34))) << second << ".5 s";
        }
        QTest::mouseClick(strip, Qt::LeftButton, {}, QPoint(int(strip->xForRate(0.75)), 5));
        EXPECT_NEAR(preview().playRate(), 0.75, 0.01);
        EXPECT_EQ(bar()->playRate(), preview().playRate());
    }
}

TEST_F(LibraryTest, EverythingIsReachedFromTheKeyboardAndARemovedRowComesBackWithUndo)
{
    const QString a = file(QStringLiteral("a.wav"), 40), b = file(QStringLiteral("b.wav"), 20);
    store(QVariantList{item(a, 40), item(b, 20)});
    AudioLibraryWnd& library = open();
    QWidget* window = library.window();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    library.chooseTheAudioItemAt(0);
    // Tab walks the window from the top, the chosen row's delete button
    // right after the list; the focus shows as a ring in the highlight colour.
    widget<QWidget>("vLibiaryBack_")->setFocus(Qt::TabFocusReason);
    QStringList walked;
    for (int i = 0; i < 12; ++i) {
        QWidget* focused = QApplication::focusWidget();
        walked.append(focused == row(0)->deleteButton() ? QStringLiteral("delete") : focused->objectName());
        if (focused == bar()) {
            EXPECT_TRUE(near(pixel(render(*bar()), 1, 20), bar()->palette().color(QPalette::Highlight), 40));
        }
        QTest::keyClick(focused, Qt::Key_Tab);
    }
    EXPECT_EQ(walked.join(' '),
        "vLibiaryBack_ delete waveformStrip_ playProgressView_ btnStartTrim_ btnEndTrim_ playBtn_ "
        "previewBtn_ fadeInTimeEdt_ fadeOutTimeEdt_ btnExport_ vLibiaryBack_");

    // Return presses the focused button; Space plays and pauses wherever the focus is but in a field.
    widget<QToolButton>("playBtn_")->setFocus();
    QTest::keyClick(window, Qt::Key_Return);
    EXPECT_EQ(player()->rate(), 1.0F);
    widget<QPushButton>("btnEndTrim_")->setFocus();
    QTest::keyClick(window, Qt::Key_Space);
    EXPECT_EQ(player()->rate(), 0.0F);
    EXPECT_EQ(bar()->endTrimRate(), 1.0F) << "not pressed by Space";
    field("fadeInTimeEdt_")->setFocus();
    QTest::keyClick(field("fadeInTimeEdt_"), Qt::Key_Space);
    EXPECT_EQ(player()->rate(), 0.0F);

    // Left and Right seek by a second, with Shift by ten; [ and ] (I and O)
    // put the trim at the play position; Home and End go to the trim's ends;
    // in a field the keys are the field's.
    QTest::keyClick(field("fadeInTimeEdt_"), Qt::Key_Right);
    EXPECT_DOUBLE_EQ(position(), 0.0);
    field("fadeInTimeEdt_")->clearFocus();
    QTest::keyClick(window, Qt::Key_Right, Qt::ShiftModifier);
    QTest::keyClick(window, Qt::Key_Right);
    QTest::keyClick(window, Qt::Key_BracketRight);
    QTest::keyClick(window, Qt::Key_Left);
    QTest::keyClick(window, Qt::Key_Left);
    QTest::keyClick(window, Qt::Key_I);
    QTest::keyClick(window, Qt::Key_Right, Qt::ShiftModifier);
    const auto nearSeconds = [](const std::vector<float>& got, const std::vector<float>& seconds) {
        for (std::size_t i = 0; i < got.size(); ++i)
            EXPECT_NEAR(got[i] * 40, seconds[i], 1e-4) << i;
    };
    nearSeconds(rates(), {9, 11, 19});
    QTest::keyClick(window, Qt::Key_Home);
    EXPECT_NEAR(position(), 9.0, 1e-3);
    QTest::keyClick(window, Qt::Key_Down);
    EXPECT_EQ(library.chooseAudioItem(), 1);

    // Shift+F10 opens the chosen row's menu.
    QTest::keyClick(window, Qt::Key_F10, Qt::ShiftModifier);
    const auto menus = row(1)->findChildren<QMenu*>();
    ASSERT_EQ(menus.size(), 1);
    QStringList offered;
    for (const QAction* action : menus[0]->actions())
        offered.append(action->text());
    EXPECT_EQ(offered.join('|'), QString::fromUtf8("Show in File Manager|Move to Trash||Add Recordings\u2026"));
    menus[0]->close();
    // The platform activates the popup after the fact; the window takes the keys back.
    QTest::qWait(50);
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));

    // Delete removes the chosen row at once (the file stays); Ctrl+Z, or the
    // bar's Undo, brings it back in its place with its trim, for a while.
    QTest::keyClick(window, Qt::Key_Up);
    QTest::keyClick(window, Qt::Key_Delete);
    EXPECT_EQ(listed(), QStringList{b});
    EXPECT_TRUE(QFileInfo::exists(a));
    auto* undo = widget<QPushButton>("undoButton");
    ASSERT_TRUE(undo->isVisible());
    QTest::keyClick(window, Qt::Key_Down);  // another row chosen meanwhile
    QTest::keyClick(window, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_FALSE(undo->isVisible());
    EXPECT_EQ(paths(storedList()), (QStringList{a, b}));
    EXPECT_EQ(library.chooseAudioItem(), 0);
    nearSeconds(rates(), {9, 11, 0});
    QTest::keyClick(window, Qt::Key_Down);
    QTest::keyClick(window, Qt::Key_Delete);
    QTest::mouseClick(undo, Qt::LeftButton);
    EXPECT_EQ(listed(), (QStringList{a, b}));
    undoFor(10);
    QTest::keyClick(window, Qt::Key_Delete);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !undo->isVisible(); }));
    QTest::keyClick(window, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(listed(), QStringList{a});

    // A mixed take's sources' files, listed right after it, are named as its
    // parts. Delete on the take asks whether they go too: cancelled, nothing
    // goes; kept listed, the take goes alone; removed too, all go, and Undo
    // brings all back in their places. A source's own row goes unasked.
    const QString take = file(QStringLiteral("take.wav"), 10), input = file(QStringLiteral("take.input.wav"), 10),
                  system = file(QStringLiteral("take.system.wav"), 10);
    library.addAudioItemFromPath(take, {}, {input, system});
    const QStringList all{a, take, input, system};
    ASSERT_EQ(listed(), all);
    EXPECT_EQ(library.chooseAudioItem(), 1);
    EXPECT_EQ(row(2)->name(), QStringLiteral("take, the input alone"));
    EXPECT_EQ(row(3)->name(), QStringLiteral("take, the computer's sound alone"));
    // Answers the open question with the button of that text.
    const auto answer = [&](const QString& text) {
        auto* ask = window->findChild<QMessageBox*>(QStringLiteral("removeSourcesQuestion"));
        ASSERT_NE(ask, nullptr);
        QAbstractButton* chosen = nullptr;
        for (QAbstractButton* button : ask->buttons())
            chosen = button->text() == text ? button : chosen;
        ASSERT_NE(chosen, nullptr) << text.toStdString();
        chosen->click();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    };
    const auto deleteAnswering = [&](const QString& text) {
        QTest::keyClick(window, Qt::Key_Delete);
        if (!text.isEmpty())
            answer(text);
        else
            EXPECT_EQ(window->findChild<QMessageBox*>(QStringLiteral("removeSourcesQuestion")), nullptr) << "asked";
    };
    deleteAnswering(QStringLiteral("Cancel"));
    EXPECT_EQ(listed(), all);
    // A recording that arrives while the question is open is chosen: the answer then removes nothing.
    const QString late = file(QStringLiteral("late.wav"), 10);
    QTest::keyClick(window, Qt::Key_Delete);
    library.addAudioItemFromPath(late);
    answer(QStringLiteral("Remove Them Too"));
    EXPECT_EQ(listed(), all + QStringList{late});
    deleteAnswering({});  // the late one, which has no sources
    library.chooseTheAudioItemAt(1);
    deleteAnswering(QStringLiteral("Keep Them Listed"));
    EXPECT_EQ(listed(), (QStringList{a, input, system}));
    QTest::keyClick(window, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(listed(), all);
    EXPECT_EQ(library.chooseAudioItem(), 1);
    deleteAnswering(QStringLiteral("Remove Them Too"));
    EXPECT_EQ(listed(), QStringList{a});
    QTest::keyClick(window, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(paths(storedList()), all);
    library.chooseTheAudioItemAt(2);
    deleteAnswering({});
    EXPECT_EQ(listed(), (QStringList{a, take, system}));
}

TEST_F(LibraryTest, MoveToTrashPutsTheFileInTheHomeTrashBesideItsInformationAndAddingListsFilesAgain)
{
    const QString a = file(QStringLiteral("a.wav"), 4), b = file(QStringLiteral("b.wav"), 2);
    store(QVariantList{item(a, 4), item(b, 2)});
    AudioLibraryWnd& library = open();
    library.chooseTheAudioItemAt(0);
    const QByteArray bytes = contents(a);
    // Names taken in the trash, by a file or by an information file, are left alone.
    const QString trash = trash::homeTrash();
    ASSERT_EQ(trash, qEnvironmentVariable("XDG_DATA_HOME") + "/Trash");
    QDir(trash).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(trash + "/files") && QDir().mkpath(trash + "/info"));
    for (const QString& taken : {trash + "/files/a.wav", trash + "/info/a.2.wav.trashinfo"}) {
        QFile other(taken);
        ASSERT_TRUE(other.open(QIODevice::WriteOnly) && other.write("another's") > 0);
    }
    const auto moveToTrash = [&](qsizetype index) {
        QMenu* menu = row(index)->makeContextMenu();
        menu->actions()[1]->trigger();
        delete menu;
    };
    moveToTrash(0);
    EXPECT_FALSE(QFileInfo::exists(a));
    EXPECT_EQ(contents(trash + "/files/a.3.wav"), bytes);
    EXPECT_TRUE(contents(trash + "/info/a.3.wav.trashinfo")
                    .startsWith("[Trash Info]\nPath=" + QUrl::toPercentEncoding(a, "/") + "\nDeletionDate=20"));
    EXPECT_EQ(contents(trash + "/info/a.2.wav.trashinfo"), "another's");
    EXPECT_EQ(contents(trash + "/files/a.wav"), "another's");
    EXPECT_EQ(paths(storedList()), QStringList{b});
    EXPECT_EQ(library.chooseAudioItem(), -1);
    EXPECT_EQ(player(), nullptr);
    // A file that is gone cannot go: its row stays, and the user is told.
    QFile::remove(b);
    moveToTrash(0);
    EXPECT_EQ(listed(), QStringList{b});
    ASSERT_EQ(notices_->size(), 1);

    // Files are added from the dialog's answer or dropped on the window:
    // each one that plays, once, at the bottom, the first of them chosen.
    const QString c = file(QStringLiteral("c.wav"), 3), d = file(QStringLiteral("d.wav"), 1);
    const QString notes = dir_.filePath(QStringLiteral("notes.txt"));
    std::ofstream(notes.toStdString()) << "not audio";
    library.addRecordingsFromPaths({c, notes, c});
    EXPECT_EQ(listed(), (QStringList{b, c}));
    EXPECT_EQ(library.chooseAudioItem(), 1);
    ASSERT_EQ(notices_->size(), 2);
    EXPECT_TRUE(notices_->last()[1].toString().startsWith(QStringLiteral("notes.txt")));
    QMimeData dragged;
    dragged.setUrls({QUrl::fromLocalFile(d), QUrl::fromLocalFile(c)});
    QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &dragged, Qt::LeftButton, {});
    QApplication::sendEvent(library.window(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &dragged, Qt::LeftButton, {});
    QApplication::sendEvent(library.window(), &drop);
    EXPECT_EQ(paths(storedList()), (QStringList{b, c, d}));
}

TEST(AudioItemView, PartsStandFromTheBottomDrawUprightAndClicksReachTheDelegateOnlyWhenItAnswers)
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
    QPalette selection = row.palette();
    selection.setColor(QPalette::Highlight, QColor(59, 34, 255));  // the row's light text reads on it as it is
    row.setPalette(selection);
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
    // Chosen, in the selection colour of a light and a dark palette, shaded until the name reads on it.
    for (const bool dark : {false, true}) {
        name.setPalette(dark ? pixel_contrast::dark() : QApplication::style()->standardPalette());
        name.setIsChoose(true);
        EXPECT_GE(pixel_contrast::ofTextIn(render(name), QRect(120, 4, 200, 20)), 4.5) << dark;
    }

    // Clicks reach the delegate only when it answers; the right click offers the file.
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
        AudioItemView clicked(kRowFrame);
        clicked.setIsChoose(c.chosenBefore);
        clicked.setDelegate(c.delegate ? &library : nullptr);
        if (c.onDelete)
            QTest::mouseClick(clicked.deleteButton(), Qt::LeftButton);
        else
            QTest::mouseClick(&clicked, Qt::LeftButton, {}, QPoint(300, 25));
        EXPECT_EQ(library.calls, c.calls);
    }

    FakeLibrary library;
    name.setDelegate(&library);
    name.setDicObject({{QStringLiteral("AudioPath"), QStringLiteral("/music/take 1.m4a")}});
    RevealRecorder workspace;
    Workspace::setShared(&workspace);
    QTest::mouseClick(&name, Qt::RightButton, {}, QPoint(300, 25));
    const auto menus = name.findChildren<QMenu*>();
    ASSERT_EQ(menus.size(), 1);
    ASSERT_EQ(menus[0]->actions().size(), 1);
    EXPECT_EQ(menus[0]->actions()[0]->text(), QStringLiteral("Show in File Manager"));
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

TEST_F(PlayProgressViewTest, LayersDrawWhereTheRatesPutThemAndPressesAndDragsReportUnclampedRatesByWhatWasHit)
{
    setRates(0.5F, 0.6F, 0.9F);  // head 152..166, left handle 180..189
    for (const qreal dpr : {1.0, 2.0}) {
        const QImage image = render(view, dpr, Qt::white);
        EXPECT_LT(pixel(image, 60, 22).value(), 60) << dpr;   // bar outside the kept stretch
        EXPECT_GT(pixel(image, 240, 22).blue(), 200) << dpr;  // inside it
        EXPECT_GT(pixel(image, 155, 4).value(), 230) << dpr;  // head near the top edge
        EXPECT_GT(pixel(image, 187, 38).red(), 200) << dpr;   // handle tab near the bottom edge
    }

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
        {0, 0.25F, 0.75F, true, at(120, 5), {at(130, 5)}, {}},                   // between the handles, below the bar
        {0, 0, 1, false, at(84, 22), {at(100, 22)}, {}},                         // not editable
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
    // Its labels take the palette's text: the strip darkens under a dark palette's light text, and only then.
    auto* time = new QLabel(QStringLiteral("00:12.5/00:40.0"), &strip);
    time->setGeometry(10, 10, 150, 24);
    for (const bool dark : {false, true}) {
        strip.setPalette(dark ? pixel_contrast::dark() : QApplication::style()->standardPalette());
        const QImage image = render(strip);
        EXPECT_GE(pixel_contrast::ofTextIn(image, time->geometry()), 4.5) << dark;
        EXPECT_EQ(near(pixel(image, 180, 20), grey(0.5)), !dark) << dark;
    }

    QWidget window;
    window.resize(700, 400);
    auto* field = new QLineEdit(&window);
    field->setGeometry(10, 10, 100, 24);
    auto* editable = new PlayProgressView(QRect(0, 300, 318, 44), &window);
    editable->setCanEdit(true);
    auto* wave = new WaveformStripView(&window);
    wave->setCanEdit(true);
    QWidget* const views[] = {new AudioItemView(QRect(0, 50, 610, 50), &window), new AudioBottomBackView(&window),
        new AudioLibBackView(&window), new PlayProgressView(QRect(0, 250, 318, 44), &window), editable, wave};
    views[1]->setGeometry(0, 110, 300, 40);
    views[2]->setGeometry(0, 150, 300, 100);
    wave->setGeometry(0, 344, 318, 40);
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
