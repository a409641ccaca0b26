// The library's list of recordings as it is kept in the settings under
// "AudioItemData": an ordered list of items {"AudioPath", "AudioLength"},
// read once, changed by adding, dropping, deleting and recovering, and
// written back whole. No widgets: the window builds its rows from items(),
// which leaves out the entries whose folder is gone (see dropMissing()).
//
// Main thread; a recovery completes its file on a thread of its own and is
// answered back on the main thread. The library window owns the one store.
#pragma once

#include <QList>
#include <QObject>
#include <QVariantList>
#include <QVariantMap>

#include <functional>

class QThread;

class AudioLibraryStore : public QObject {
    Q_OBJECT

public:
    explicit AudioLibraryStore(QObject* parent = nullptr);
    // A completion still running is let finish: it rewrites its file.
    ~AudioLibraryStore() override;

    // Reads the stored list as far as it goes: a list of items, one item, or
    // paths (a list or a comma list; text, bytes or file URLs), nested or not.
    // An entry that names no file stays for dropMissing() to drop.
    void load();
    // Drops the entries that name no existing file in a folder that is there,
    // each on its own (an equal entry further on is tested in its turn). True
    // when any went. An entry whose folder is gone (an unmounted disk, a
    // renamed folder) is hidden instead: left out of items(), written back in
    // its place, and shown by the first load() that finds the folder again.
    bool dropMissing();
    // Appends a new item for the recording at `path`, its length measured.
    QVariantMap add(const QString& path);
    void removeAt(qsizetype index);
    void write() const;

    // Completes the interrupted recording a recovery mark (recordingMark())
    // names, off the main thread; a file that is not that recording is left
    // alone. `listed` hears of the item when the file was ours and not in the
    // list yet (and is now), and `finished` is called last in any case.
    void recover(const QString& mark, std::function<void(const QVariantMap&)> listed, std::function<void()> finished);

    const QVariantList& items() const { return items_; }
    // An entry's path: an absolute path under "AudioPath" of a map, else empty.
    static QString pathOf(const QVariant& entry);
    // An item's length in seconds; 0 when it holds no finite number.
    static float lengthOf(const QVariantMap& item);

private:
    static float measuredLength(const QString& path);
    // Appends the items `value` holds, `depth` lists deep.
    void collect(const QVariant& value, int depth);

    struct Hidden {
        qsizetype before;  // how many of items_ come before it
        QVariant entry;
    };

    QVariantList items_;
    QList<Hidden> hidden_;
    QList<QThread*> recoveries_;
};
