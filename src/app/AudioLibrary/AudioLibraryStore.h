// The library's list of recordings: an ordered list of items {"AudioPath",
// "AudioLength"}, read once, changed by adding, dropping, deleting and
// recovering, and stored whole after each change. No widgets: the window
// builds its rows from items(), which leaves out the entries whose folder is
// gone (see dropMissing()).
//
// The list lives in a file of its own, listPath(): a first line naming the
// format and its version, then one line per item, "<file URL> <seconds>",
// the path's bytes percent-encoded so that no space or line break is left in
// it, and for a recording trimmed or faded "<start> <end> <fade in> <fade
// out>" after its length (the range as fractions of the length, the fades in
// seconds); a line without them is an untrimmed recording, and an earlier
// build reads one with them as a length to measure again. An item's markers
// follow on a line of their own, "# markers <seconds> ...", which an earlier
// build skips as a comment. Earlier versions
// kept it in the settings under "AudioItemData"; with no file yet, that value
// is read (as far as it goes), written to the file, and removed from the
// settings once the file is there; a file that cannot be made leaves the list
// in the settings, stored there as before.
//
// Main thread. The file's text is made and written on a writer thread of
// the store's own, from a copy of the list, so that the main thread waits
// for the disk only when it asks to (waitForWrites(), at quit). A recovery
// completes its file on a thread of its own and is answered back on the
// main thread. The library window owns the one store.
#pragma once

#include <QByteArrayView>
#include <QList>
#include <QObject>
#include <QVariantList>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QThread;

class AudioLibraryStore : public QObject {
    Q_OBJECT

public:
    // The part of a recording the user keeps, and its fades; untrimmed by default.
    struct Trim {
        float start = 0;    // fraction of the length
        float end = 1;      // fraction of the length
        float fadeIn = 0;   // seconds
        float fadeOut = 0;  // seconds
        bool operator==(const Trim&) const = default;
    };

    explicit AudioLibraryStore(QObject* parent = nullptr);
    // A completion still running is let finish: it rewrites its file. So is
    // a write of the list.
    ~AudioLibraryStore() override;

    // $XDG_DATA_HOME/traytape/library, else ~/.local/share/traytape/library
    // (the home from the password database when HOME is unset). Its folder
    // is made 0700 and used only while this user owns it.
    static QString listPath();

    // Reads the stored list as far as it goes. From the list file, a line
    // that names no recording, and a path Qt cannot name (bytes that are no
    // text in the file system's encoding), is kept hidden, in its place, and
    // written back as it was; linesKept() tells of the first kind. A line
    // with no usable length (none, no number, not finite, negative) is an
    // item not measured yet: see measure(). DOS line ends read as Unix ones. With no list file, the settings' value: a
    // list of items, one item, or paths (a list or a comma list; text, bytes
    // or file URLs), nested or not; an entry that names no file stays for
    // dropMissing() to drop. A list file that is there but cannot be read is
    // never replaced: the list then lives for this run only, and problem()
    // says why.
    void load();
    // Drops the entries that name no existing file in a folder that is there,
    // each on its own (an equal entry further on is tested in its turn). True
    // when any went. An entry whose folder is gone (an unmounted disk, a
    // renamed folder) is hidden instead: left out of items(), written back in
    // its place, and shown by the first load() that finds the folder again.
    bool dropMissing();
    // Measures the items with no length yet on a thread of the store's own,
    // so that a list of any shape opens at once; measured() is sent as their
    // lengths come in, and the list is stored once all have.
    void measure();
    // Appends a new item for the recording at `path`, its length measured,
    // untrimmed, with the markers given or else those its file holds; or
    // inserts it at index `at` when that is in the list.
    QVariantMap add(const QString& path, qsizetype at = -1, std::optional<std::vector<double>> markers = {});
    // Takes item `index` out and returns it, for insertAt() to put back.
    QVariant removeAt(qsizetype index);
    void insertAt(qsizetype index, const QVariant& entry);
    // The index of the item naming the same file as `path` (by its resolved path), -1 for none.
    qsizetype indexOfFile(const QString& path) const;
    // Keeps item `index`'s trim and fades with it; stored at the next write().
    // False when that changed nothing.
    bool setTrim(qsizetype index, const Trim& trim);
    static Trim trimOf(const QVariant& entry);
    // An item's markers, in seconds from its start, ascending; and whether
    // the list holds any for it (else its file may: markersInFile()).
    static std::vector<double> markersOf(const QVariant& entry);
    static bool hasMarkers(const QVariant& entry);
    static std::vector<double> markersInFile(const QString& path);
    // Keeps item `index`'s markers with it; false when that changed nothing.
    bool setMarkers(qsizetype index, const std::vector<double>& markers);
    // Stores the list when it changed since it was last stored. The file is
    // written on the writer thread; a later write() replaces one not yet begun.
    void write();
    // Returns once everything write() was given is on the disk, or failed.
    void waitForWrites();
    // The first reason this run the list could not be read or stored, in a
    // sentence for the user; empty while there was none.
    const QString& problem() const { return problem_; }

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
    // False for an item read without a length and not measured yet.
    static bool isMeasured(const QVariantMap& item);

signals:
    // The first time in a run the list could not be read or stored (problem()
    // says why). Sent from the event loop, also for a problem load() found.
    void failed();
    // The list file held `count` lines that name no recording (kept as they
    // are). Sent once, from the event loop, after load().
    void linesKept(qsizetype count);
    // Lengths measure() was waiting for came in.
    void measured();

private:
    struct Hidden {
        qsizetype before;  // how many of the items come before it
        QVariant entry;
    };
    struct Writer;
    struct Measurer;
    enum class ListFile { Missing, Read, Unreadable };
    enum class Keeping {
        File,      // the list file
        Settings,  // the settings' value, as earlier versions: the file could not be made
        Nothing,   // a list file that cannot be read is there
    };

    static float measuredLength(const QString& path);
    // A line of the list file: an item, the line itself when its path is one
    // Qt cannot name, or nothing when it names no recording.
    static QVariant entryFrom(QByteArrayView line);
    // Appends the items `value` holds, `depth` lists deep.
    void collect(const QVariant& value, int depth);
    ListFile readFile();
    // The items with the hidden entries in their places.
    static QVariantList everything(const QVariantList& items, const QList<Hidden>& hidden);
    // The list file's whole text.
    static QByteArray serialized(const QVariantList& items, const QList<Hidden>& hidden);
    void writeSettings() const;
    // Remembers the first problem and has failed() sent; says it unless `said`.
    void fail(const QString& why, bool said = false);

    QVariantList items_;
    QList<Hidden> hidden_;
    QList<QThread*> recoveries_;
    QString path_;
    Keeping keeping_ = Keeping::File;
    bool changed_ = false;  // since the list was last stored
    QString problem_;
    std::unique_ptr<Writer> writer_;
    std::unique_ptr<Measurer> measurer_;
    qsizetype unread_ = 0;  // lines of the list file kept as they are
};
