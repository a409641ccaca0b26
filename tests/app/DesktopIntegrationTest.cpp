// How the tray application lives on a desktop: one copy per user, every
// command reachable without a tray, windows placed by the window manager,
// and a remembered save folder that has gone missing.
#include "AppTestSupport.h"
#include "Control/AppControl.h"
#include "platform/ui/SingleInstance.h"
#include <algorithm>
#include <sys/stat.h>
#include <QLocalSocket>
#include "platform/ui/WindowPlacement.h"

#include <QCheckBox>
#include <QDir>
#include <QMenu>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>
#include <QWindow>

namespace {

using Access = AppDelegateTestAccess;

class DesktopTest : public AppTest {
protected:
    void SetUp() override
    {
        AppTest::SetUp();
        addInput("Built-in Microphone");
        AppControl::AppWriteKeyValue(0, SettingsKey::OpenAppShowHelpWnd);
    }
};

}  // namespace

TEST_F(DesktopTest, WithoutATrayThePanelOpensWithTheMenuFollowsTheTrayAndFailuresAreToldByTheDesktop)
{
    AppControl::AppWriteKeyValue(0, SettingsKey::OpenAppRecordingPanel);
    const QString gone = home_.path() + QStringLiteral("/Unmounted Drive/Recordings");
    AppControl::AppWriteKeyValue(gone, SettingsKey::SaveAudioPath);
    bool tray = false;
    AppDelegate::setSystemTrayProbe([&tray] { return tray; });
    auto app = launch();
    QWidget* panel = Access::find<QWidget>(*app, "wndRecordingPanel");
    EXPECT_TRUE(panel->isVisible()) << "the panel is the only way in";
    EXPECT_FALSE(Access::find<QCheckBox>(*app, "btnShowRecordingPanel")->isChecked()) << "the stored choice stays";
    QToolButton* menuButton = Access::find<QToolButton>(*app, "btnPanelMenu");
    ASSERT_NE(menuButton, nullptr);
    EXPECT_TRUE(menuButton->isVisible());
    EXPECT_EQ(menuButton->menu(), Access::menu(*app));
    EXPECT_EQ(menuButton->window(), panel);
    // A remembered save folder that has gone is told at start-up; the default stands in.
    ASSERT_EQ(workspace_.notified.size(), 1);
    EXPECT_TRUE(workspace_.notified[0].contains(gone));
    EXPECT_EQ(Access::config(*app).saveAudioPath(), saveFolder());

    // A tray appears: the button goes; the tray goes away again: the panel comes back with it.
    tray = true;
    QTest::qWait(2500);
    EXPECT_FALSE(menuButton->isVisible());
    panel->close();
    tray = false;
    EXPECT_TRUE(QTest::qWaitFor([&] { return panel->isVisible(); }, 5000));
    EXPECT_TRUE(menuButton->isVisible());

    Access::config(*app).setSaveAudioPath(home_.path() + QStringLiteral("/missing"));
    app->startAndStopRecord();
    ASSERT_EQ(workspace_.notified.size(), 2);
    EXPECT_TRUE(workspace_.notified[1].startsWith(QStringLiteral("Recording could not start")));
}

TEST_F(DesktopTest, WindowsAskForNoPositionUntilTheUserHasPlacedThem)
{
    auto app = launch();
    QWidget* config = Access::config(*app).window();
    QWidget* panel = Access::find<QWidget>(*app, "wndRecordingPanel");
    for (QWidget* window : {app->window(), panel, config}) {
        // The Designer geometry (0,0) would become the "user specified location" hint.
        EXPECT_FALSE(window->testAttribute(Qt::WA_Moved)) << window->objectName().toStdString();
    }
    config->show();
    // Dragged by the user: the window system moves the window, not the program.
    config->windowHandle()->setFramePosition(QPoint(120, 90));
    ASSERT_TRUE(QTest::qWaitFor([&] { return config->pos() == QPoint(120, 90); }, 2000));
    ASSERT_FALSE(config->testAttribute(Qt::WA_Moved));
    config->hide();
    EXPECT_TRUE(config->testAttribute(Qt::WA_Moved)) << "its place is asked for when it opens again";
    config->show();
    EXPECT_EQ(config->pos(), QPoint(120, 90));
}

TEST_F(DesktopTest, ASecondInstanceHandsOverAndAStaleOneIsReplaced)
{
    const QString folder = home_.path() + QStringLiteral("/runtime");
    {
        SingleInstance first(QStringLiteral("test.instance"), folder);
        ASSERT_EQ(first.claim(), SingleInstance::Claim::First);
        QSignalSpy activated(&first, &SingleInstance::activated);
        SingleInstance second(QStringLiteral("test.instance"), folder);
        EXPECT_EQ(second.claim(), SingleInstance::Claim::HandedOver);
        EXPECT_TRUE(activated.wait(5000));
        // An instance that has run for hours still holds its place.
        QFile lock(folder + QStringLiteral("/test.instance.lock"));
        ASSERT_TRUE(lock.open(QIODevice::ReadWrite));
        ASSERT_TRUE(lock.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
        lock.close();
        EXPECT_EQ(SingleInstance(QStringLiteral("test.instance"), folder).claim(), SingleInstance::Claim::HandedOver);
        EXPECT_TRUE(activated.wait(5000));
    }
    // The lock and the socket of a run that crashed are not mistaken for a running instance.
    QProcess ended;
    ended.start(QStringLiteral("true"), {});
    ASSERT_TRUE(ended.waitForStarted(5000));
    const qint64 deadPid = ended.processId();
    ASSERT_TRUE(ended.waitForFinished(5000));
    QFile staleLock(folder + QStringLiteral("/test.instance.lock"));
    ASSERT_TRUE(staleLock.open(QIODevice::WriteOnly));
    staleLock.write(QByteArray::number(deadPid) + "\napp_tests\n" + QSysInfo::machineHostName().toUtf8() + "\n");
    staleLock.close();
    QFile staleSocket(folder + QStringLiteral("/test.instance.socket"));
    ASSERT_TRUE(staleSocket.open(QIODevice::WriteOnly));
    staleSocket.close();
    SingleInstance again(QStringLiteral("test.instance"), folder);
    EXPECT_EQ(again.claim(), SingleInstance::Claim::First);
    QSignalSpy activated(&again, &SingleInstance::activated);
    EXPECT_EQ(SingleInstance(QStringLiteral("test.instance"), folder).claim(), SingleInstance::Claim::HandedOver);
    EXPECT_TRUE(activated.wait(5000));
}

// No one sharing the user's runtime folder can hang a start or starve the
// running instance: a FIFO at the lock is refused at once, clients past the
// limit are dropped, longest connected first, and later starts are answered.
TEST_F(DesktopTest, TheInstanceChannelCannotBeBlockedOrStarved)
{
    const QString folder = home_.path() + QStringLiteral("/runtime");
    QDir().mkpath(folder);
    const QByteArray fifo = QFile::encodeName(folder + QStringLiteral("/fifo.instance.lock"));
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    EXPECT_EQ(SingleInstance(QStringLiteral("fifo.instance"), folder).claim(), SingleInstance::Claim::Unreachable);

    SingleInstance first(QStringLiteral("test.instance"), folder);
    ASSERT_EQ(first.claim(), SingleInstance::Claim::First);
    std::vector<std::unique_ptr<QLocalSocket>> clients;
    for (int i = 0; i < 24; ++i) {
        clients.push_back(std::make_unique<QLocalSocket>());
        clients.back()->connectToServer(first.socketPath());
        ASSERT_TRUE(clients.back()->waitForConnected(5000));
    }
    auto connected = [&] {
        return std::count_if(clients.begin(), clients.end(),
            [](const auto& c) { return c->state() == QLocalSocket::ConnectedState; });
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return connected() == 16; }, 5000)) << connected() << " still connected";
    EXPECT_EQ(clients.front()->state(), QLocalSocket::UnconnectedState);
    EXPECT_EQ(clients.back()->state(), QLocalSocket::ConnectedState);
    clients.clear();
    QSignalSpy activated(&first, &SingleInstance::activated);
    EXPECT_EQ(SingleInstance(QStringLiteral("test.instance"), folder).claim(), SingleInstance::Claim::HandedOver);
    EXPECT_TRUE(activated.count() > 0 || activated.wait(5000));
}

TEST_F(DesktopTest, LaunchingTheProgramTwiceLeavesOneRunning)
{
    const QString program = QStringLiteral(TRAYTAPE_BINARY_DIR "/traytape");
    if (!QFileInfo::exists(program))
        GTEST_SKIP() << "build the traytape target first";
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("PULSE_SERVER"), home_.path() + QStringLiteral("/no-sound-server"));
    env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));  // never the user's own session
    QProcess first, second;
    first.setProcessEnvironment(env);
    second.setProcessEnvironment(env);
    first.start(program, {});
    ASSERT_TRUE(first.waitForStarted(5000));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return QFileInfo::exists(home_.path() + QStringLiteral("/runtime/org.traytape.TrayTape.socket")); },
        20000));
    second.start(program, {});
    ASSERT_TRUE(second.waitForFinished(20000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(first.state(), QProcess::Running);
    first.terminate();
    EXPECT_TRUE(first.waitForFinished(20000));
    EXPECT_EQ(first.exitCode(), 0);
}
