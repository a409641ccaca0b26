// The application controller with the real library window: an export that
// fails in the library is told in the tray, as a failed recording is.
#include "AppTestSupport.h"
#include "AudioLibrary/AudioLibraryWnd.h"
#include "platform/VirtualMediaPlayer.h"
#include "support/StereoFile.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>

namespace {

class AppExportTest : public AppTest { };

}  // namespace

TEST_F(AppExportTest, AFailedExportInTheLibraryIsToldInTheTray)
{
    auto output = VirtualMediaOutput::install();
    const QString take = home_.filePath(QStringLiteral("take.wav"));
    ASSERT_EQ(writeToneFile(take.toStdString(), 1), noErr);

    AudioLibraryWnd* library = nullptr;
    auto app = std::make_unique<AppDelegate>();
    app->setAudioLibraryFactory([&library] {
        auto made = std::make_unique<AudioLibraryWnd>();
        library = made.get();
        return made;
    });
    app->applicationWillFinishLaunching();
    app->applicationDidFinishLaunching();
    ASSERT_NE(library, nullptr);
    QSignalSpy told(app.get(), &AppDelegate::userNotified);

    library->addAudioItemFromPath(take);
    library->exportAudioToPath(home_.filePath(QStringLiteral("missing/part.wav")));
    QElapsedTimer clock;
    clock.start();
    while (library->isExporting() && clock.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_FALSE(library->isExporting());
    ASSERT_EQ(told.size(), 1);
    EXPECT_EQ(told[0][0].toString(), QStringLiteral("Export failed"));
    EXPECT_TRUE(told[0][1].toString().contains(QStringLiteral("missing/part.wav")));
    EXPECT_TRUE(workspace_.revealed.isEmpty());
    app.reset();
}
