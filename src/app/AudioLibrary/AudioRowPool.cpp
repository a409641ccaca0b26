#include "AudioLibrary/AudioRowPool.h"

#include "AudioLibrary/AudioItemView.h"
#include "AudioLibrary/AudioLibraryStore.h"
#include "Preferences/AppControl.h"
#include "Desktop/Resources.h"
#include "Desktop/YUp.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>

namespace {

// Rows stand this far from the list's left edge, centring 610 in the list's 640.
constexpr int kRowX = 15;

QImage artwork()
{
    // The double-density rendering, so the 40-point artwork stays sharp on any
    // screen; decoded once and shared by every row.
    static const QImage image = [] {
        QImage dense = resources::image(QStringLiteral("Artwork@2x.png"));
        return dense.isNull() ? resources::image(QStringLiteral("Artwork.png")) : dense;
    }();
    return image;
}

// The take a recording is a part of, by the name the recorder gives a split
// take's parts ("NAME 001.ext" …): the take's path and the part's number.
std::optional<std::pair<QString, int>> partOfTake(const QVariantList& items, qsizetype index)
{
    if (index < 0 || index >= items.size())
        return std::nullopt;
    const QFileInfo file(AudioLibraryStore::pathOf(items[index].toMap()));
    static const QRegularExpression numbered(QStringLiteral("^(.+) (\\d{3,})$"));
    const QRegularExpressionMatch match = numbered.match(file.completeBaseName());
    if (!match.hasMatch())
        return std::nullopt;
    return std::pair{file.dir().filePath(match.captured(1)), match.captured(2).toInt()};
}

// The recording a source's file is of, by the name the recorder gives it
// ("NAME.input.ext" beside "NAME.ext"), and which source it holds.
std::optional<std::pair<QString, QString>> sourceOfTake(const QVariantList& items, qsizetype index)
{
    if (index < 0 || index >= items.size())
        return std::nullopt;
    const QFileInfo file(AudioLibraryStore::pathOf(items[index].toMap()));
    static const QRegularExpression named(QStringLiteral("^(.+)\\.(input|system|app)$"));
    const QRegularExpressionMatch match = named.match(file.completeBaseName());
    if (!match.hasMatch())
        return std::nullopt;
    return std::pair{file.dir().filePath(match.captured(1) + QLatin1Char('.') + file.suffix()), match.captured(2)};
}

// The item a source's row stands under: its recording, right before it or
// before the recording's other sources; -1 for none.
qsizetype takeOfSource(const QVariantList& items, qsizetype index)
{
    const auto source = sourceOfTake(items, index);
    if (!source)
        return -1;
    for (qsizetype at = index - 1; at >= 0; --at) {
        if (AudioLibraryStore::pathOf(items[at].toMap()) == source->first)
            return at;
        const auto sibling = sourceOfTake(items, at);
        if (!sibling || sibling->first != source->first)
            return -1;
    }
    return -1;
}

// A row's name: the file's, or, for the parts of one take side by side in the
// list (as they arrive), the take's with the part's place: "NAME, part 2 of 3".
// The list file keeps every part as a recording of its own.
QString rowName(const QVariantList& items, qsizetype index)
{
    const QString name = QFileInfo(AudioLibraryStore::pathOf(items[index].toMap())).completeBaseName();
    // A source under its recording is named as a part of it.
    if (takeOfSource(items, index) >= 0) {
        const auto source = sourceOfTake(items, index);
        const QString take = QFileInfo(source->first).completeBaseName();
        if (source->second == QLatin1String("input"))
            return QCoreApplication::translate("AudioRowPool", "%1, the input alone").arg(take);
        if (source->second == QLatin1String("system"))
            return QCoreApplication::translate("AudioRowPool", "%1, the computer's sound alone").arg(take);
        return QCoreApplication::translate("AudioRowPool", "%1, the application alone").arg(take);
    }
    const auto part = partOfTake(items, index);
    if (!part)
        return name;
    const auto follows = [&](qsizetype earlier, qsizetype later) {
        const auto a = partOfTake(items, earlier), b = partOfTake(items, later);
        return a && b && a->first == b->first && a->second + 1 == b->second;
    };
    qsizetype first = index, last = index;
    while (follows(first - 1, first))
        --first;
    while (follows(last, last + 1))
        ++last;
    if (first == last)
        return name;
    return QCoreApplication::translate("AudioRowPool", "%1, part %2 of %3")
        .arg(QFileInfo(part->first).fileName())
        .arg(part->second)
        .arg(partOfTake(items, last)->second);
}

}  // namespace

QString AudioRowPool::timeText(float seconds)
{
    return AppControl::timeText(seconds);
}

qsizetype AudioRowPool::sourcesAfter(const QVariantList& items, qsizetype index)
{
    qsizetype count = 0;
    while (takeOfSource(items, index + count + 1) == index)
        ++count;
    return count;
}

AudioRowPool::AudioRowPool(
    const AudioLibraryStore& store, QScrollArea* scroll, QWidget* list, AudioItemViewDelegate* delegate)
    : store_(store), scroll_(scroll), list_(list), delegate_(delegate)
{ }

void AudioRowPool::scrollTo(qsizetype index)
{
    // The row's middle in sight with half a row either side: the whole row.
    const int half = kRowHeight / 2;
    scroll_->ensureVisible(kRowX, int(kRowPitch * index) + (kRowPitch - kRowHeight) + half, 0, half);
}

void AudioRowPool::layout(qsizetype chosen)
{
    // The visible area is the scroll area's inside, less the scroll bar once
    // the rows need one. Read from the scroll area itself: a hidden window's
    // viewport keeps its old size until the window is shown.
    const QSize visible = scroll_->contentsRect().size();
    // A widget is at most QWIDGETSIZE_MAX high: about 310,000 rows.
    const qint64 rowsHeight = std::min<qint64>(kRowPitch * qint64(store_.items().size()), QWIDGETSIZE_MAX);
    const int listHeight = std::max(int(rowsHeight), visible.height());
    const int scrollBar = listHeight > visible.height() ? scroll_->verticalScrollBar()->sizeHint().width() : 0;
    list_->resize(visible.width() - scrollBar, listHeight);
    bind(chosen);
}

void AudioRowPool::bind(qsizetype chosen)
{
    // Item i stands at y = H - 54 i - 54 (y up) in a list H high, which is
    // 54 i + 4 from the list's top: the rows from the one under the top of
    // the visible area to the one under its bottom are in view.
    const int listHeight = list_->height();
    const qint64 top = scroll_->verticalScrollBar()->value();
    const qint64 visible = scroll_->contentsRect().height();
    const qint64 count = std::min<qint64>(store_.items().size(), listHeight / kRowPitch);
    const qint64 first = std::min(top / kRowPitch, count);
    const qint64 last = std::min((top + visible) / kRowPitch + 1, count);
    while (rows_.size() < last - first) {
        auto* view = new AudioItemView(QRect(kRowX, 0, kRowWidth, kRowHeight), list_);
        view->setImageArt(artwork());
        view->setDelegate(delegate_);
        rows_.append({view, -1});
    }
    for (qsizetype slot = 0; slot < rows_.size(); ++slot) {
        Row& row = rows_[slot];
        const qsizetype index = first + slot < last ? first + slot : -1;
        if (index < 0) {
            row.index = -1;
            if (row.view->deleteButton()->hasFocus())
                list_->setFocus(Qt::OtherFocusReason);
            row.view->deleteButton()->setFocusPolicy(Qt::NoFocus);
            row.view->hide();
            continue;
        }
        const QVariant& entry = store_.items()[index];
        // A part's name changes as the next part of its take arrives.
        const QString name = rowName(store_.items(), index);
        if (row.index != index || row.view->dicObject() != entry.toMap() || row.view->name() != name) {
            const QVariantMap item = entry.toMap();
            row.index = index;
            row.view->setName(name);
            row.view->setTimeStr(AudioLibraryStore::isMeasured(item)
                    ? timeText(AudioLibraryStore::lengthOf(item))
                    : QCoreApplication::translate("AudioRowPool", "measuring\u2026"));
            row.view->setDicObject(item);
        }
        row.view->setIsChoose(index == chosen);
        // Only the chosen row's delete button is a Tab stop, right after the list.
        QAbstractButton* remove = row.view->deleteButton();
        remove->setFocusPolicy(index == chosen ? Qt::TabFocus : Qt::NoFocus);
        if (index == chosen)
            QWidget::setTabOrder(list_, remove);
        else if (remove->hasFocus())
            list_->setFocus(Qt::OtherFocusReason);
        const QRectF frame(kRowX, listHeight - kRowPitch * double(index) - kRowPitch, kRowWidth, kRowHeight);
        row.view->setGeometry(yup::toWidget(frame, listHeight).toRect());
        row.view->update();
        row.view->show();
    }
}

qsizetype AudioRowPool::indexOf(const AudioItemView* view) const
{
    qsizetype index = -1;
    for (const Row& row : rows_)
        if (row.view == view)
            index = row.index;
    return index;
}

AudioItemView* AudioRowPool::viewAt(qsizetype index) const
{
    for (const Row& row : rows_)
        if (row.index == index)
            return row.view;
    return nullptr;
}

void AudioRowPool::detach()
{
    for (const Row& row : rows_)
        row.view->setDelegate(nullptr);
}
