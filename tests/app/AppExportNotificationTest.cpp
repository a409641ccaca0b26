// The application controller with the real library window: an export that
// fails in the library is told in the tray, as a failed recording is.
#include "AppTestSupport.h"
#include "AudioLibrary/AudioLibraryWnd.h"
#include "platform/ExtAudioFile.h"
#include "platform/VirtualMediaPlayer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>

#include <vector>

namespace {

class AppExportTest : public AppTest { };

}  // namespace

TEST_F(AppExportTest, AFailedExportInTheLibraryIsToldInTheTray)
{
    auto output = VirtualMediaOutput::install();
    const QString take = home_.filePath(QStringLiteral("take.wav"));
    {
        std::vector<float> left(44100, 0.25f), right(44100, -0.25f);
        ExtAudioFileRef file;
        ASSERT_EQ(ExtAudioFile::create(take.toStdString(), kAudioFileWAVEType, AudioConverter::exportDescription(0),
                      kAudioFileFlags_EraseFile, file),
            noErr);
        const AudioStreamBasicDescription client = AudioConverter().defaultFormat();
        ASSERT_EQ(file->setProperty(kExtAudioFileProperty_ClientDataFormat, sizeof client, &client), noErr);
        AudioBufferList list;
        list.mNumberBuffers = 2;
        list.mBuffers[0] = {1, std::uint32_t(left.size() * 4), left.data()};
        list.mBuffers[1] = {1, std::uint32_t(right.size() * 4), right.data()};
        ASSERT_EQ(file->write(std::uint32_t(left.size()), &list), noErr);
        ASSERT_EQ(file->dispose(), noErr);
    }

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
