// Renders the library window's drawn controls into PNG files for a person to
// look at: rows chosen and not, trim bars at a few rates, at 1x and 2x. Runs
// only when TRAYTAPE_SHOTS_DIR names a folder.
#include "LibraryTestSupport.h"

#include "AudioLibrary/AudioBottomBackView.h"
#include "AudioLibrary/AudioItemView.h"
#include "AudioLibrary/AudioLibBackView.h"
#include "View/PlayProgressView.h"
#include "platform/ui/Resources.h"

#include <QDir>

#include <gtest/gtest.h>

TEST(Screenshots, LibraryControls)
{
    const QString dir = qEnvironmentVariable("TRAYTAPE_SHOTS_DIR");
    if (dir.isEmpty())
        GTEST_SKIP() << "set TRAYTAPE_SHOTS_DIR to write the screenshots";
    QDir().mkpath(dir);

    QWidget window;
    window.resize(640, 330);
    auto* list = new AudioLibBackView(&window);
    list->setGeometry(0, 0, 640, 170);
    const char* texts[3][2]
        = {{"2024-05-01 09-12-44", "00:00:59"}, {"2024-05-01 10-03-17", "00:12:03"}, {"Interview take 3", "01:02:30"}};
    for (int i = 0; i < 3; ++i) {
        auto* row = new AudioItemView(QRect(15, 4 + 54 * i, 610, 50), list);
        row->setName(QString::fromUtf8(texts[i][0]));
        row->setTimeStr(QString::fromUtf8(texts[i][1]));
        row->setImageArt(resources::image(QStringLiteral("Artwork.png")));
        row->setIsChoose(i == 1);
    }
    auto* bottom = new AudioBottomBackView(&window);
    bottom->setGeometry(0, 170, 640, 160);
    const float rates[3][3] = {{0, 0, 1}, {0.42F, 0.2F, 0.75F}, {0.5F, 0.5F, 0.5F}};  // play, start, end
    for (int i = 0; i < 3; ++i) {
        auto* bar = new PlayProgressView(QRect(15, 10 + 50 * i, 610, 44), bottom);
        bar->setPlayRate(rates[i][0]);
        bar->setStartTrimRate(rates[i][1]);
        bar->setEndTrimRate(rates[i][2]);
    }
    for (const int dpr : {1, 2}) {
        const QImage image = librarytest::render(window, dpr);
        EXPECT_TRUE(image.save(dir + QStringLiteral("/library-controls@%1x.png").arg(dpr)));
        // The left ends magnified, where edge lines, shadows and handles show their detail.
        const QImage left = image.copy(QRect(QPoint(0, 0), QSize(170, 330) * dpr));
        EXPECT_TRUE(left.scaled(left.size() * 4 / dpr).save(dir + QStringLiteral("/closeup-left@%1x.png").arg(dpr)));
    }
}
