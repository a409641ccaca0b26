#include "AudioLibrary/AudioLibraryStore.h"

#include "Preferences/AppControl.h"
#include "platform/ExtAudioFile.h"
#include "platform/InterruptedRecording.h"
#include "platform/MediaPlayer.h"
#include "platform/audiofile/SafeFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QThread>
#include <QUrl>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include <cerrno>
#include <cmath>

namespace {

const QString kAudioPath = QStringLiteral("AudioPath");
const QString kAudioLength = QStringLiteral("AudioLength");
const QString kTrimStart = QStringLiteral("TrimStart");
const QString kTrimEnd = QStringLiteral("TrimEnd");
const QString kFadeIn = QStringLiteral("FadeIn");
const QString kFadeOut = QStringLiteral("FadeOut");
const QString kMarkers = QStringLiteral("Markers");
// The longest fade the window accepts, in seconds.
constexpr float kLongestFade = 5.0F;
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

// The list file's first line; a later version of the format says so in it.
constexpr QByteArrayView kHeader("# TrayTape library 1");
constexpr QByteArrayView kHeaderStem("# TrayTape library ");
constexpr QByteArrayView kScheme("file://");
// The line after an item's that lists its markers, in seconds. A comment to
// a build that knows no markers: it reads the list as before, without them.
constexpr QByteArrayView kMarkersLine("# markers");
// Far longer than any item (a path has at most 4,096 bytes, three times as
// many encoded): a longer line is no item, and is not kept in memory whole.
constexpr qsizetype kLongestLine = 64 * 1024;

bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// A whole field that reads as a finite number.
bool readNumber(QByteArrayView text, float& out)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc() && end == text.data() + text.size() && std::isfinite(out);
}

bool validTrim(const AudioLibraryStore::Trim& t)
{
    return t.start >= 0 && t.start <= t.end && t.end <= 1 && t.fadeIn >= 0 && t.fadeIn <= kLongestFade && t.fadeOut >= 0
        && t.fadeOut <= kLongestFade;
}

// "<start> <end> <fade in> <fade out>"; nothing for anything else. trimOf() judges the values.
std::optional<AudioLibraryStore::Trim> trimFrom(QByteArrayView text)
{
    float values[4];
    for (float& value : values) {
        const qsizetype space = text.indexOf(' ');
        if (!readNumber(space < 0 ? text : text.first(space), value))
            return std::nullopt;
        text = space < 0 ? QByteArrayView() : text.sliced(space + 1);
    }
    if (!text.isEmpty())
        return std::nullopt;
    return AudioLibraryStore::Trim{values[0], values[1], values[2], values[3]};
}

// "# markers <seconds> ...": the finite, non-negative ones, ascending; nothing for another line.
std::optional<QVariantList> markersFrom(QByteArrayView line)
{
    if (!line.startsWith(kMarkersLine) || (line.size() > kMarkersLine.size() && line[kMarkersLine.size()] != ' '))
        return std::nullopt;
    std::vector<double> seconds;
    for (QByteArrayView rest = line.sliced(kMarkersLine.size()); !rest.isEmpty();) {
        const qsizetype space = rest.indexOf(' ');
        const QByteArrayView field = space < 0 ? rest : rest.first(space);
        rest = space < 0 ? QByteArrayView() : rest.sliced(space + 1);
        double value = 0;
        const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
        if (error == std::errc() && end == field.data() + field.size() && std::isfinite(value) && value >= 0)
            seconds.push_back(value);
    }
    std::sort(seconds.begin(), seconds.end());
    QVariantList list;
    for (const double value : seconds)
        list.append(value);
    return list;
}

QVariantList toList(const std::vector<double>& seconds)
{
    QVariantList list;
    for (const double at : seconds)
        list.append(at);
    return list;
}

int hexValue(char c)
{
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

// The bytes a URL's path spells; nothing for a broken escape or a NUL, which no path holds.
std::optional<QByteArray> decoded(QByteArrayView text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            bytes.append(text[i]);
            continue;
        }
        if (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2]))
            return std::nullopt;
        bytes.append(char(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
        i += 2;
    }
    if (bytes.contains('\0'))
        return std::nullopt;
    return bytes;
}

// Makes `folder` and any missing folder above it. Empty when it is there;
// otherwise why not, where "read-only" names the folder that refused (a
// missing folder it could not make would else read as "no such folder").
QString madeFolder(const QString& folder)
{
    QStringList missing;
    QString at = QDir::cleanPath(folder);
    while (!QFileInfo::exists(at) && at.size() > 1) {
        missing.prepend(at);
        at = QFileInfo(at).absolutePath();
    }
    const auto refused = [](int error, const QString& where) {
        return error == EACCES || error == EPERM || error == EROFS
            ? QCoreApplication::translate("AudioLibraryStore", "%1 is read-only").arg(where)
            : qt_error_string(error);
    };
    if (!QFileInfo(at).isDir())
        return QCoreApplication::translate("AudioLibraryStore", "%1 is not a folder").arg(at);
    for (const QString& next : std::as_const(missing)) {
        if (::mkdir(QFile::encodeName(next).constData(), 0700) != 0 && errno != EEXIST)
            return refused(errno, at);
        at = next;
    }
    if (::access(QFile::encodeName(at).constData(), W_OK) != 0)
        return refused(errno, at);
    return {};
}

}  // namespace

// Takes the newest list it is given and puts it in the list file, one at a
// time; a list given meanwhile replaces the one it had not begun. The lists
// are copies the main thread no longer changes (their items are shared
// until it does).
struct AudioLibraryStore::Writer {
    struct List {
        QVariantList items;
        QList<Hidden> hidden;
    };
    std::mutex lock;
    std::condition_variable changed;
    std::optional<List> pending;
    bool busy = false;
    bool stop = false;
    std::thread thread;
};

// Measures the lengths of the paths it is given, one after another, and
// stops between two when told.
struct AudioLibraryStore::Measurer {
    std::atomic<bool> stop{false};
    std::thread thread;
};

AudioLibraryStore::AudioLibraryStore(QObject* parent) : QObject(parent) { }

AudioLibraryStore::~AudioLibraryStore()
{
    if (measurer_) {
        measurer_->stop = true;
        measurer_->thread.join();
    }
    if (writer_) {
        {
            const std::lock_guard held(writer_->lock);
            writer_->stop = true;
        }
        writer_->changed.notify_all();
        writer_->thread.join();
    }
    for (QThread* recovery : std::as_const(recoveries_)) {
        recovery->disconnect(this);
        recovery->wait();
        delete recovery;
    }
}

QString AudioLibraryStore::listPath()
{
    // XDG's rule for its folders: a relative value is to be ignored.
    QString data = qEnvironmentVariable("XDG_DATA_HOME");
    // Qt's home without HOME is "/": the password database's, as for the cache.
    if (!data.startsWith(QLatin1Char('/')))
        data = QFile::decodeName(audiofile::homeFolder().c_str()) + QStringLiteral("/.local/share");
    return data + QStringLiteral("/traytape/library");
}

void AudioLibraryStore::load()
{
    items_.clear();
    hidden_.clear();
    unread_ = 0;
    changed_ = false;
    keeping_ = Keeping::File;
    path_ = listPath();
    const QVariant stored = AppControl::AppReadKeyValue(SettingsKey::AudioItemData, QVariant());
    switch (readFile()) {
    case ListFile::Unreadable:
        keeping_ = Keeping::Nothing;
        return;
    case ListFile::Read:
        if (stored.isValid())
            QSettings().remove(SettingsKey::AudioItemData);
        return;
    case ListFile::Missing:
        break;
    }
    if (!stored.isValid())
        return;
    collect(stored, 0);
    // The settings' value goes only once the file holds everything it did.
    const QByteArray text = serialized(items_, hidden_);
    const QString folderProblem = madeFolder(QFileInfo(path_).absolutePath());
    OSStatus status = folderProblem.isEmpty()
        ? audiofile::privateFolder(QFile::encodeName(QFileInfo(path_).absolutePath()).toStdString())
        : kAudioFilePermissionsError;
    if (status == noErr)
        status = audiofile::writeWholeFile(QFile::encodeName(path_).toStdString(), text.data(), text.size());
    if (status == noErr) {
        QSettings().remove(SettingsKey::AudioItemData);
        return;
    }
    keeping_ = Keeping::Settings;
    fail(tr("The library list could not be moved to %1 (%2); it stays in the settings.")
             .arg(path_,
                 folderProblem.isEmpty() ? QString::fromStdString(audiofile::reasonFor(status)) : folderProblem));
}

AudioLibraryStore::ListFile AudioLibraryStore::readFile()
{
    const auto unreadable = [this](const QString& why) {
        fail(tr("The library list %1 cannot be read (%2); recordings added now are listed until TrayTape quits.")
                 .arg(path_, why));
        return ListFile::Unreadable;
    };
    // Another user's folder (a link to it included) holds no list of ours,
    // and is never written: read as one that cannot be read.
    {
        struct stat folder { };
        if (::stat(QFile::encodeName(QFileInfo(path_).absolutePath()).constData(), &folder) == 0
            && folder.st_uid != ::geteuid())
            return unreadable(QString::fromStdString(audiofile::reasonFor(kAudioFileFolderNotOwnedError)));
    }
    // Not blocking: a FIFO in its place is refused below, not waited on.
    const int fd = ::open(QFile::encodeName(path_).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && (errno == ENOENT || errno == ENOTDIR))
        return ListFile::Missing;
    if (fd < 0)
        return unreadable(qt_error_string(errno));
    struct stat st { };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return unreadable(tr("not a regular file"));
    }
    bool first = true;
    bool lastWasItem = false;  // a markers line belongs to the item just before it
    QString wrongFormat;
    int skipped = 0;
    const auto take = [&](QByteArrayView line) {
        // A list saved by an editor with DOS line ends reads as the same list.
        if (line.endsWith('\r'))
            line.chop(1);
        const bool afterItem = std::exchange(lastWasItem, false);
        if (std::exchange(first, false) && line != kHeader) {
            wrongFormat = line.startsWith(kHeaderStem) ? tr("written by a later version of TrayTape")
                                                       : tr("not a library list");
        } else if (const auto markers = afterItem ? markersFrom(line) : std::nullopt) {
            if (items_.last().typeId() == QMetaType::QVariantMap) {
                QVariantMap item = items_.last().toMap();
                item.insert(kMarkers, *markers);
                items_.last() = item;
            } else {
                items_.append(QVariant(line.toByteArray()));  // stays with the line it follows, as that is kept
            }
        } else if (!line.isEmpty() && !line.startsWith('#')) {
            const QVariant entry = entryFrom(line);
            // A line that names no recording is kept as it is, in its place
            // (hidden, as a name Qt cannot hold): it may be a hand edit gone
            // wrong, and the user is told rather than lose it.
            items_.append(entry.isValid() ? entry : QVariant(line.toByteArray()));
            unread_ += entry.isValid() ? 0 : 1;
            // A path Qt cannot name is kept as it is; so are its markers.
            lastWasItem = entry.isValid();
        }
    };
    // A chunk at a time, taken line by line: the file's text is never in memory whole.
    QByteArray text;
    bool overlong = false;
    char chunk[64 * 1024];
    int error = 0;
    while (wrongFormat.isEmpty()) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : 0;
            break;
        }
        text.append(chunk, n);
        qsizetype start = 0;
        for (qsizetype end = text.indexOf('\n'); end >= 0 && wrongFormat.isEmpty(); end = text.indexOf('\n', start)) {
            if (!std::exchange(overlong, false))
                take(QByteArrayView(text).sliced(start, end - start));
            start = end + 1;
        }
        text.remove(0, start);
        if (text.size() > kLongestLine) {
            skipped += overlong ? 0 : 1;
            overlong = true;
            text.clear();
        }
    }
    ::close(fd);
    if (error != 0)
        return unreadable(qt_error_string(error));
    if (wrongFormat.isEmpty() && !overlong && !text.isEmpty())
        take(text);
    if (!wrongFormat.isEmpty())
        return unreadable(wrongFormat);
    if (skipped > 0)
        qWarning("%s: %d lines longer than any recording's are left out", qPrintable(path_), skipped);
    if (unread_ > 0) {
        qWarning("%s: %lld lines name no recording; they are kept as they are", qPrintable(path_), qlonglong(unread_));
        QMetaObject::invokeMethod(
            this, [this] { emit linesKept(unread_); }, Qt::QueuedConnection);
    }
    return ListFile::Read;
}

QVariant AudioLibraryStore::entryFrom(QByteArrayView line)
{
    const qsizetype space = line.indexOf(' ');
    const QByteArrayView url = space < 0 ? line : line.first(space);
    if (!url.startsWith(kScheme))
        return {};
    const std::optional<QByteArray> bytes = decoded(url.sliced(kScheme.size()));
    if (!bytes || !bytes->startsWith('/'))
        return {};
    const QString path = QFile::decodeName(*bytes);
    // A name that is no text in the file system's encoding: Qt cannot open
    // it, and its line is kept as it is, hidden.
    if (QFile::encodeName(path) != *bytes)
        return line.toByteArray();
    // A length that does not read as one is measured again, later and off
    // the main thread (measure()): one probe each would hold up the start.
    const QByteArrayView rest = space < 0 ? QByteArrayView() : line.sliced(space + 1);
    const qsizetype cut = rest.indexOf(' ');
    float length = 0;
    if (!readNumber(cut < 0 ? rest : rest.first(cut), length) || length < 0)
        return QVariantMap{{kAudioPath, path}};
    QVariantMap item{{kAudioPath, path}, {kAudioLength, length}};
    if (const auto trim = cut < 0 ? std::nullopt : trimFrom(rest.sliced(cut + 1))) {
        item.insert(kTrimStart, trim->start);
        item.insert(kTrimEnd, trim->end);
        item.insert(kFadeIn, trim->fadeIn);
        item.insert(kFadeOut, trim->fadeOut);
    }
    return item;
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
        items_.append(QVariantMap{{kAudioPath, path}});
    } else if (value.isValid()) {
        // A place for dropMissing() to drop, so that the drop is stored (not
        // the value: bytes there would read as a hidden line of the file).
        items_.append(QVariant());
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
        // A line of the list file whose path Qt cannot name.
        if (entry.typeId() == QMetaType::QByteArray) {
            hidden_.append({kept.size(), entry});
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
    changed_ = changed_ || dropped;
    return dropped;
}

void AudioLibraryStore::measure()
{
    QStringList paths;
    for (const QVariant& entry : std::as_const(items_))
        if (entry.typeId() == QMetaType::QVariantMap && !isMeasured(entry.toMap()))
            paths.append(pathOf(entry));
    paths.removeDuplicates();
    if (paths.isEmpty())
        return;
    if (measurer_) {
        measurer_->stop = true;
        measurer_->thread.join();
    }
    measurer_ = std::make_unique<Measurer>();
    measurer_->thread = std::thread([this, stop = &measurer_->stop, paths] {
        for (qsizetype i = 0; i < paths.size() && !stop->load(); ++i) {
            const float length = measuredLength(paths[i]);
            const bool last = i + 1 == paths.size();
            // Answered by path, not by place: rows may be added or deleted meanwhile.
            QMetaObject::invokeMethod(
                this,
                [this, path = paths[i], length, last] {
                    for (QVariant& entry : items_) {
                        if (pathOf(entry) != path || isMeasured(entry.toMap()))
                            continue;
                        QVariantMap item = entry.toMap();
                        item.insert(kAudioLength, length);
                        entry = item;
                        changed_ = true;
                    }
                    emit measured();
                    if (last)
                        write();
                },
                Qt::QueuedConnection);
        }
    });
}

QVariantMap AudioLibraryStore::add(const QString& path, qsizetype at, std::optional<std::vector<double>> markers)
{
    QVariantMap item;
    item.insert(kAudioPath, path);
    item.insert(kAudioLength, measuredLength(path));
    if (!markers)
        markers = markersInFile(path);
    if (!markers->empty())
        item.insert(kMarkers, toList(*markers));
    insertAt(at >= 0 && at <= items_.size() ? at : items_.size(), item);
    return item;
}

QVariant AudioLibraryStore::removeAt(qsizetype index)
{
    QVariant entry = items_.takeAt(index);
    changed_ = true;
    for (Hidden& hidden : hidden_)
        hidden.before -= hidden.before > index ? 1 : 0;
    return entry;
}

void AudioLibraryStore::insertAt(qsizetype index, const QVariant& entry)
{
    index = std::clamp<qsizetype>(index, 0, items_.size());
    items_.insert(index, entry);
    changed_ = true;
    for (Hidden& hidden : hidden_)
        hidden.before += hidden.before > index ? 1 : 0;
}

qsizetype AudioLibraryStore::indexOfFile(const QString& path) const
{
    const QString file = QFileInfo(path).canonicalFilePath();
    for (qsizetype i = 0; !file.isEmpty() && i < items_.size(); ++i)
        if (QFileInfo(pathOf(items_[i])).canonicalFilePath() == file)
            return i;
    return -1;
}

bool AudioLibraryStore::setTrim(qsizetype index, const Trim& trim)
{
    if (index < 0 || index >= items_.size() || trimOf(items_[index]) == trim)
        return false;
    QVariantMap item = items_[index].toMap();
    // An untrimmed recording's item holds no trim, as a new one does.
    for (const QString& key : {kTrimStart, kTrimEnd, kFadeIn, kFadeOut})
        item.remove(key);
    if (trim != Trim{}) {
        item.insert(kTrimStart, trim.start);
        item.insert(kTrimEnd, trim.end);
        item.insert(kFadeIn, trim.fadeIn);
        item.insert(kFadeOut, trim.fadeOut);
    }
    items_[index] = item;
    changed_ = true;
    return true;
}

std::vector<double> AudioLibraryStore::markersOf(const QVariant& entry)
{
    std::vector<double> markers;
    for (const QVariant& at : entry.toMap().value(kMarkers).toList())
        markers.push_back(at.toDouble());
    return markers;
}

bool AudioLibraryStore::hasMarkers(const QVariant& entry)
{
    return entry.toMap().contains(kMarkers);
}

std::vector<double> AudioLibraryStore::markersInFile(const QString& path)
{
    AudioMarkers frames;
    double rate = 0;
    std::vector<double> seconds;
    if (audiofile::readMarkers(QFile::encodeName(path).toStdString(), frames, rate) && rate > 0)
        for (const std::int64_t frame : frames)
            seconds.push_back(double(frame) / rate);
    return seconds;
}

bool AudioLibraryStore::setMarkers(qsizetype index, const std::vector<double>& markers)
{
    if (index < 0 || index >= items_.size() || (hasMarkers(items_[index]) && markersOf(items_[index]) == markers))
        return false;
    QVariantMap item = items_[index].toMap();
    item.insert(kMarkers, toList(markers));
    items_[index] = item;
    changed_ = true;
    return true;
}

AudioLibraryStore::Trim AudioLibraryStore::trimOf(const QVariant& entry)
{
    const QVariantMap item = entry.toMap();
    if (!item.contains(kTrimStart))
        return {};
    const Trim trim{item.value(kTrimStart).toFloat(), item.value(kTrimEnd).toFloat(), item.value(kFadeIn).toFloat(),
        item.value(kFadeOut).toFloat()};
    // A hand edit (or a later build) may hold anything: what is no trim the window could set is none.
    return validTrim(trim) ? trim : Trim{};
}

QVariantList AudioLibraryStore::everything(const QVariantList& items, const QList<Hidden>& hidden)
{
    QVariantList all;
    all.reserve(items.size() + hidden.size());
    qsizetype next = 0;
    for (const Hidden& one : hidden) {
        while (next < one.before)
            all.append(items[next++]);
        all.append(one.entry);
    }
    all.append(items.mid(next));
    return all;
}

QByteArray AudioLibraryStore::serialized(const QVariantList& items, const QList<Hidden>& hidden)
{
    QByteArray text;
    text.reserve(kHeader.size() + 1 + (items.size() + hidden.size()) * 96);
    text.append(kHeader).append('\n');
    for (const QVariant& entry : everything(items, hidden)) {
        if (entry.typeId() == QMetaType::QByteArray) {
            text.append(entry.toByteArray()).append('\n');
            continue;
        }
        const QString path = pathOf(entry);
        if (path.isEmpty())
            continue;
        text.append(kScheme);
        // Every byte but the unreserved ones and '/' as %XX: what is left has
        // no space, no line break and no byte of another encoding.
        text.append(QFile::encodeName(path).toPercentEncoding("/"));
        const auto appendMarkers = [&text, &entry] {
            const std::vector<double> markers = markersOf(entry);
            if (markers.empty())
                return;
            text.append(kMarkersLine);
            for (const double at : markers) {
                char number[32];
                const auto written = std::to_chars(number, number + sizeof number, at);
                text.append(' ').append(number, written.ptr - number);
            }
            text.append('\n');
        };
        // Not measured yet: no length, so that the next start measures it.
        if (!isMeasured(entry.toMap())) {
            text.append('\n');
            appendMarkers();
            continue;
        }
        const auto appendNumber = [&text](float value) {
            char number[32];
            const auto written = std::to_chars(number, number + sizeof number, value);
            text.append(' ').append(number, written.ptr - number);
        };
        appendNumber(lengthOf(entry.toMap()));
        if (const Trim trim = trimOf(entry); trim != Trim{}) {
            for (const float value : {trim.start, trim.end, trim.fadeIn, trim.fadeOut})
                appendNumber(value);
        }
        text.append('\n');
        appendMarkers();
    }
    return text;
}

void AudioLibraryStore::writeSettings() const
{
    const QVariantList all = everything(items_, hidden_);
    // The settings file would hold an empty list as an invalid value; no key is the same empty library.
    if (all.isEmpty())
        QSettings().remove(SettingsKey::AudioItemData);
    else
        AppControl::AppWriteKeyValue(all, SettingsKey::AudioItemData);
}

void AudioLibraryStore::write()
{
    if (!changed_ || keeping_ == Keeping::Nothing)
        return;
    changed_ = false;
    if (keeping_ == Keeping::Settings) {
        writeSettings();
        return;
    }
    // Not even the text is made here: for 100,000 items that alone took the
    // main thread 60 ms, and the 6.6 MB synced to the disk more again.
    if (!writer_) {
        writer_ = std::make_unique<Writer>();
        writer_->thread = std::thread([this, writer = writer_.get(), path = path_] {
            const std::string file = QFile::encodeName(path).toStdString();
            const QString folder = QFileInfo(path).absolutePath();
            std::unique_lock held(writer->lock);
            for (;;) {
                writer->changed.wait(held, [writer] { return writer->stop || writer->pending; });
                if (!writer->pending)
                    return;
                const Writer::List next = *std::exchange(writer->pending, std::nullopt);
                writer->busy = true;
                held.unlock();
                const QByteArray text = serialized(next.items, next.hidden);
                const QString folderProblem = madeFolder(folder);
                OSStatus status = folderProblem.isEmpty() ? audiofile::privateFolder(QFile::encodeName(folder).toStdString())
                                                          : kAudioFilePermissionsError;
                if (status == noErr)
                    status = audiofile::writeWholeFile(file, text.data(), text.size());
                if (status != noErr) {
                    const QString why = tr("The library list could not be stored in %1 (%2).")
                                            .arg(path,
                                                folderProblem.isEmpty()
                                                    ? QString::fromStdString(audiofile::reasonFor(status))
                                                    : folderProblem);
                    // Said at once: at quit, the main thread hears of it no more.
                    qWarning("%s", qPrintable(why));
                    QMetaObject::invokeMethod(
                        this, [this, why] { fail(why, true); }, Qt::QueuedConnection);
                }
                held.lock();
                writer->busy = false;
                writer->changed.notify_all();
            }
        });
    }
    {
        const std::lock_guard held(writer_->lock);
        writer_->pending = Writer::List{items_, hidden_};
    }
    writer_->changed.notify_all();
}

void AudioLibraryStore::waitForWrites()
{
    if (!writer_)
        return;
    std::unique_lock held(writer_->lock);
    writer_->changed.wait(held, [this] { return !writer_->pending && !writer_->busy; });
}

void AudioLibraryStore::fail(const QString& why, bool said)
{
    if (!said)
        qWarning("%s", qPrintable(why));
    if (!problem_.isEmpty())
        return;
    problem_ = why;
    QMetaObject::invokeMethod(
        this, [this] { emit failed(); }, Qt::QueuedConnection);
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
    // Its sources' files, completed with it, are listed right after it, as a finished recording's are.
    QStringList sources;
    for (const std::string& source : recordingMarkSources(mark.toStdString()))
        sources.append(QString::fromStdString(recordingMarkPath(source)));
    recoveries_.append(recovery);
    connect(recovery, &QThread::finished, this,
        [this, recovery, path, sources, ours, listed = std::move(listed), finished = std::move(finished)] {
            recoveries_.removeOne(recovery);
            recovery->deleteLater();
            // The same file under another spelling of its path is the same recording.
            const auto known = [this](const QString& file) {
                const QString canonical = QFileInfo(file).canonicalFilePath();
                bool found = canonical.isEmpty();
                for (const QVariant& entry : std::as_const(items_))
                    found = found || QFileInfo(pathOf(entry)).canonicalFilePath() == canonical;
                return found;
            };
            if (!known(path) && ours->load()) {
                QVariantMap item = add(path);
                for (const QString& source : sources)
                    if (!known(source))
                        add(source);
                listed(item);
            }
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

bool AudioLibraryStore::isMeasured(const QVariantMap& item)
{
    return item.contains(kAudioLength);
}

float AudioLibraryStore::measuredLength(const QString& path)
{
    const auto asset = MediaAsset::assetWithPath(path.toStdString());
    const double seconds = asset ? asset->duration().seconds() : 0.0;
    return std::isfinite(seconds) ? float(seconds) : 0.0F;
}
