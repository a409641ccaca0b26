#include "AudioLibrary/AudioLibraryStore.h"

#include "Control/AppControl.h"
#include "platform/InterruptedRecording.h"
#include "platform/MediaPlayer.h"

#include <QFileInfo>
#include <QThread>

#include <atomic>
#include <memory>

#include <cmath>

namespace {

const QString kAudioPath = QStringLiteral("AudioPath");
const QString kAudioLength = QStringLiteral("AudioLength");

}  // namespace

AudioLibraryStore::AudioLibraryStore(QObject* parent) : QObject(parent) { }

AudioLibraryStore::~AudioLibraryStore()
{
    for (QThread* recovery : std::as_const(recoveries_)) {
        recovery->disconnect(this);
        recovery->wait();
        delete recovery;
    }
}

void AudioLibraryStore::load()
{
    const QVariant stored = AppControl::AppReadKeyValue(SettingsKey::AudioItemData, QVariant());
    // Its entries are checked as the rows are built.
    if (stored.typeId() == QMetaType::QVariantList || stored.typeId() == QMetaType::QStringList)
        items_ = stored.toList();
    else
        items_.clear();
}

bool AudioLibraryStore::dropMissing()
{
    bool dropped = false;
    for (qsizetype i = 0; i < items_.size();) {
        const QString path = pathOf(items_[i]);
        // Kept wherever the file is, as long as it is there: a folder the user
        // picked is as much the library's as the default one.
        if (!path.isEmpty() && QFileInfo(path).isFile()) {
            ++i;
        } else {
            items_.removeAt(i);
            dropped = true;
        }
    }
    return dropped;
}

QVariantMap AudioLibraryStore::add(const QString& path)
{
    QVariantMap item;
    item.insert(kAudioPath, path);
    item.insert(kAudioLength, measuredLength(path));
    items_.append(item);
    return item;
}

void AudioLibraryStore::removeAt(qsizetype index)
{
    items_.removeAt(index);
}

void AudioLibraryStore::write() const
{
    AppControl::AppWriteKeyValue(items_, SettingsKey::AudioItemData);
}

void AudioLibraryStore::recover(
    const QString& mark, std::function<void(const QVariantMap&)> listed, std::function<void()> finished)
{
    const QString path = QString::fromStdString(recordingMarkPath(mark.toStdString()));
    if (!QFileInfo(path).isFile()) {
        finished();
        return;
    }
    // Finishing a long M4A rewrites the whole file: not on the main thread.
    // A file that is not the marked recording is neither changed nor listed.
    auto ours = std::make_shared<std::atomic<bool>>(false);
    QThread* recovery = QThread::create([file = mark.toStdString(), ours] {
        ours->store(completeInterruptedRecording(file) != kInterruptedRecordingNotOurs);
    });
    recoveries_.append(recovery);
    connect(recovery, &QThread::finished, this,
        [this, recovery, path, ours, listed = std::move(listed), finished = std::move(finished)] {
            recoveries_.removeOne(recovery);
            recovery->deleteLater();
            // The same file under another spelling of its path is the same recording.
            const QString canonical = QFileInfo(path).canonicalFilePath();
            bool known = false;
            for (const QVariant& entry : std::as_const(items_))
                known = known || (!canonical.isEmpty() && QFileInfo(pathOf(entry)).canonicalFilePath() == canonical);
            if (!known && !canonical.isEmpty() && ours->load())
                listed(add(path));
            finished();
        });
    recovery->start();
}

QString AudioLibraryStore::pathOf(const QVariant& entry)
{
    if (entry.typeId() != QMetaType::QVariantMap)
        return {};
    const QVariant path = entry.toMap().value(kAudioPath);
    return path.typeId() == QMetaType::QString ? path.toString() : QString();
}

float AudioLibraryStore::lengthOf(const QVariantMap& item)
{
    bool isNumber = false;
    const float length = item.value(kAudioLength).toFloat(&isNumber);
    return isNumber && std::isfinite(length) ? length : 0.0F;
}

float AudioLibraryStore::measuredLength(const QString& path)
{
    const auto asset = MediaAsset::assetWithPath(path.toStdString());
    const double seconds = asset ? asset->duration().seconds() : 0.0;
    return std::isfinite(seconds) ? float(seconds) : 0.0F;
}
