// The library window's export command on the offscreen platform, with real
// files through FFmpeg and the virtual-time player: the save dialog, the
// export on its worker thread with the controls locked, the file shown at the
// end or the failure told.
#include "LibraryTestSupport.h"

#include "AudioLibrary/AudioLibraryWnd.h"
#include "platform/VirtualMediaPlayer.h"
#include "platform/ui/Workspace.h"
#include "support/PulseServer.h"
#include "support/StereoFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QToolButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <tuple>

using A = AudioLibraryWndTestAccess;

namespace {

class RevealRecorder : public Workspace {
public:
    void revealInFileManager(const QString& path) override { revealed.append(path); }
    QStringList revealed;
};

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList namesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
}

class LibraryExportTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QSettings().clear();
        output_ = VirtualMediaOutput::install();
        Workspace::setShared(&workspace_);
        library_ = std::make_unique<AudioLibraryWnd>();
        library_->window()->show();
    }
    void TearDown() override
    {
        library_.reset();
        Workspace::setShared(nullptr);
        output_.reset();
        QSettings().clear();
    }

    QString recording(const QString& name, double seconds)
    {
        const QString path = dir_.filePath(name);
        EXPECT_EQ(writeToneFile(path.toStdString(), seconds), noErr);
        library_->addAudioItemFromPath(path);
        return path;
    }

    // Runs the event loop until the export has ended; false after two minutes.
    bool waitForExport(const std::function<void()>& whileRunning = {})
    {
        QElapsedTimer clock;
        clock.start();
        while (library_->isExporting()) {
            if (clock.elapsed() > 120000)
                return false;
            if (whileRunning)
                whileRunning();
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        return true;
    }

    // How many of the editing controls, all of which an export locks, are enabled.
    int enabledControls() const
    {
        QWidget* window = library_->window();
        const QWidget* controls[] = {A::widget<QLineEdit>(*library_, "fadeInTimeEdt_"),
            A::widget<QLineEdit>(*library_, "fadeOutTimeEdt_"), A::widget<QPushButton>(*library_, "btnExport_"),
            A::widget<PlayProgressView>(*library_, "playProgressView_"), window->findChild<QScrollArea*>(),
            window->findChild<QPushButton*>(QStringLiteral("btnStartTrim_")),
            window->findChild<QPushButton*>(QStringLiteral("btnEndTrim_"))};
        return int(std::count_if(std::begin(controls), std::end(controls), [](auto* w) { return w->isEnabled(); }));
    }
    bool allEnabled() const { return enabledControls() == 7; }
    bool noneEnabled() const { return enabledControls() == 0; }

    QTemporaryDir dir_;
    RevealRecorder workspace_;
    std::unique_ptr<VirtualMediaOutput> output_;
    std::unique_ptr<AudioLibraryWnd> library_;
};

}  // namespace

TEST_F(LibraryExportTest, TheDialogOffersOnlyTheRecordingsOwnExtensionAndCancelChangesNothing)
{
    for (const auto& [name, extension, filter] :
        {std::tuple{"take.wav", "wav", "WAVE audio (*.wav)"}, std::tuple{"take.m4a", "m4a", "MPEG-4 audio (*.m4a)"}}) {
        SCOPED_TRACE(name);
        recording(QString::fromLatin1(name), 2);
        EXPECT_EQ(library_->getFormatNum(), QLatin1String(extension) == QLatin1String("wav") ? 0 : 1);
        const QStringList before = namesIn(dir_.path());

        library_->exportAudio();
        const auto dialogs = library_->window()->findChildren<QFileDialog*>();
        ASSERT_EQ(dialogs.size(), 1);
        QFileDialog* dialog = dialogs.front();
        EXPECT_TRUE(dialog->isVisible());
        EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
        EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptSave);
        EXPECT_EQ(dialog->nameFilters(), QStringList{QLatin1String(filter)});
        EXPECT_EQ(dialog->defaultSuffix(), QLatin1String(extension));

        dialog->reject();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(library_->window()->findChildren<QFileDialog*>().isEmpty());
        EXPECT_FALSE(library_->isExporting());
        EXPECT_EQ(namesIn(dir_.path()), before);
        EXPECT_TRUE(allEnabled());
    }
    EXPECT_TRUE(workspace_.revealed.isEmpty());
}

TEST_F(LibraryExportTest, AnExportRunsBesideTheWindowAndGivesTheFileTheCliGives)
{
    const QString source = recording(QStringLiteral("take.m4a"), 40);
    library_->leftTrimRate(0.25f);
    library_->rightTrimRate(0.75f);
    library_->setFadeInTime(1);
    library_->setFadeOutTime(2);

    QList<int> progress;
    QObject::connect(
        A::exportProgress(*library_), &QProgressBar::valueChanged, [&](int value) { progress.append(value); });
    // No extension typed: the one the dialog offers is added.
    library_->exportAudioToPath(dir_.filePath(QStringLiteral("part")));
    const QString exported = dir_.filePath(QStringLiteral("part.m4a"));
    ASSERT_TRUE(library_->isExporting());
    EXPECT_TRUE(A::exportProgress(*library_)->isVisible());
    EXPECT_TRUE(noneEnabled());
    EXPECT_TRUE(A::widget<QToolButton>(*library_, "playBtn_")->isEnabled()) << "playing goes on while exporting";

    // The window keeps answering; a second export waits for the first, and a
    // recording finished meanwhile is loaded without unlocking the controls
    // or changing what is being exported.
    const QString next = dir_.filePath(QStringLiteral("next.wav"));
    ASSERT_EQ(writeToneFile(next.toStdString(), 1), noErr);
    int ticks = 0, lockedTicks = 0;
    ASSERT_TRUE(waitForExport([&] {
        if (++ticks == 2)
            library_->addAudioItemFromPath(next);
        library_->exportAudioToPath(dir_.filePath(QStringLiteral("second")));
        lockedTicks += noneEnabled() ? 1 : 0;
    }));
    ASSERT_GT(ticks, 2);
    EXPECT_EQ(lockedTicks, ticks);
    EXPECT_FALSE(QFile::exists(dir_.filePath(QStringLiteral("second.m4a"))));

    ASSERT_GE(progress.size(), 3) << "progress was shown on the way";
    EXPECT_TRUE(std::any_of(progress.begin(), progress.end(), [](int v) { return v > 0 && v < 1000; }));
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_EQ(progress.back(), 1000);
    EXPECT_FALSE(A::exportProgress(*library_)->isVisible());
    EXPECT_TRUE(allEnabled());
    EXPECT_EQ(workspace_.revealed, QStringList{exported});

    const testsupport::CommandResult cli = testsupport::runCommand(
        {TRAYTAPE_BINARY_DIR "/traytape-cli", "export", "--start", "10", "--end", "30", "--fade-in", "1", "--fade-out",
            "2", source.toStdString(), dir_.filePath(QStringLiteral("cli.m4a")).toStdString()});
    ASSERT_TRUE(cli.ok()) << cli.errors;
    EXPECT_EQ(cli.output, "878080\t19.911\n");
    EXPECT_EQ(contents(exported), contents(dir_.filePath(QStringLiteral("cli.m4a"))));
}

TEST_F(LibraryExportTest, AFailedExportIsToldAndChangesNoFile)
{
    const QString source = recording(QStringLiteral("take.wav"), 3);
    const QByteArray sourceBytes = contents(source);
    QSignalSpy told(library_.get(), &AudioLibraryWnd::userNotified);

    library_->exportAudioToPath(dir_.filePath(QStringLiteral("no folder/part.wav")));
    ASSERT_TRUE(waitForExport());
    ASSERT_EQ(told.size(), 1);
    EXPECT_EQ(told[0][0].toString(), QStringLiteral("Export failed"));
    EXPECT_TRUE(told[0][1].toString().contains(QLatin1String("could not be created")))
        << told[0][1].toString().toStdString();

    library_->exportAudioToPath(source);
    ASSERT_TRUE(waitForExport());
    ASSERT_EQ(told.size(), 2);
    EXPECT_TRUE(told[1][1].toString().contains(QLatin1String("onto itself")));
    EXPECT_EQ(contents(source), sourceBytes);

    EXPECT_TRUE(workspace_.revealed.isEmpty());
    EXPECT_TRUE(allEnabled());
    EXPECT_FALSE(A::exportProgress(*library_)->isVisible());
    EXPECT_EQ(namesIn(dir_.path()), QStringList{QStringLiteral("take.wav")});
}
