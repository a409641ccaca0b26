#include "AudioLibrary/AudioLibraryStore.h"

#include "Control/AppControl.h"
#include "platform/InterruptedRecording.h"
#include "platform/MediaPlayer.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QThread>
#include <QUrl>

#include <atomic>
#include <memory>

#include <cmath>

namespace {

const QString kAudioPath = QStringLiteral("AudioPath");
const QString kAudioLength = QStringLiteral("AudioLength");
// Far deeper than any list the library writes; a bound on a hand-made value's recursion.
constexpr int kMaxNesting = 8;

// A path held as text, as bytes in the file system's encoding, or as a file
// URL. Empty for anything else, and for a relative path, which would name a
// file by wherever the app was started.
QString pathFrom(const QVariant& value)
{
    QString path;
    if (value.typeId() == QMetaType::QString)
        path = value.toString();
    else if (value.typeId() == QMetaType::QByteArray)
        path = QFile::decodeName(value.toByteArray());
    else if (value.typeId() == QMetaType::QUrl)
        path = value.toUrl().toLocalFile();
    if (path.startsWith(QLatin1String("file:")))
        path = QUrl(path).toLocalFile();
    return QDir::isAbsolutePath(path) ? path : QString();
}

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
    items_.clear();
    hidden_.clear();
    collect(AppControl::AppReadKeyValue(SettingsKey::AudioItemData, QVariant()), 0);
}

void AudioLibraryStore::collect(const QVariant& value, int depth)
{
    const int type = value.typeId();
    if (depth <= kMaxNesting && (type == QMetaType::QVariantList || type == QMetaType::QStringList)) {
        for (const QVariant& entry : value.toList())
            collect(entry, depth + 1);
    } else if (depth <= kMaxNesting && (type == QMetaType::QVariantMap || type == QMetaType::QVariantHash)) {
        QVariantMap item = value.toMap();
        const auto path = item.constFind(kAudioPath);
        if (path == item.cend()) {
            // Not an item: a map of items, keyed by their places.
            for (const QVariant& entry : std::as_const(item))
                collect(entry, depth + 1);
            return;
        }
        if (const QString text = pathFrom(*path); !text.isEmpty())
            item.insert(kAudioPath, text);
        items_.append(item);
    } else if (const QString path = pathFrom(value); !path.isEmpty()) {
        items_.append(QVariantMap{{kAudioPath, path}, {kAudioLength, measuredLength(path)}});
    } else if (value.isValid()) {
        // Kept for dropMissing(), so that its drop is stored.
        items_.append(value);
    }
}

bool AudioLibraryStore::dropMissing()
{
    bool dropped = false;
    QVariantList kept;
    kept.reserve(items_.size());
    // Entries come folder by folder: each folder is asked once for a run of them.
    QString folder;
    bool folderThere = false;
    for (const QVariant& entry : std::as_const(items_)) {
        const QString path = pathOf(entry);
        // Kept wherever the file is, as long as it is there: a folder the user
        // picked is as much the library's as the default one.
        if (!path.isEmpty() && QFileInfo(path).isFile()) {
            kept.append(entry);
            continue;
        }
        if (!path.isEmpty()) {
            const QString parent = QFileInfo(path).absolutePath();
            if (parent != folder) {
                folder = parent;
                folderThere = QFileInfo(parent).isDir();
            }
            // Its disk may be unmounted or its folder renamed for now: the
            // file may well come back, and with it the entry.
            if (!folderThere) {
                hidden_.append({kept.size(), entry});
                continue;
            }
        }
        dropped = true;
    }
    items_ = std::move(kept);
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
    for (Hidden& hidden : hidden_)
        hidden.before -= hidden.before > index ? 1 : 0;
}

void AudioLibraryStore::write() const
{
    QVariantList all;
    all.reserve(items_.size() + hidden_.size());
    qsizetype next = 0;
    for (const Hidden& hidden : hidden_) {
        while (next < hidden.before)
            all.append(items_[next++]);
        all.append(hidden.entry);
    }
    all.append(items_.mid(next));
    // The settings file would hold an empty list as an invalid value; no key is the same empty library.
    if (all.isEmpty())
        QSettings().remove(SettingsKey::AudioItemData);
    else
        AppControl::AppWriteKeyValue(all, SettingsKey::AudioItemData);
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
    return entry.typeId() == QMetaType::QVariantMap ? pathFrom(entry.toMap().value(kAudioPath)) : QString();
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
