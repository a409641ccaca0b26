#include "AudioLibrary/WaveOverviewLoader.h"

#include "AudioRecord/WaveOverviewCache.h"

#include <QMetaObject>

#include <chrono>

namespace {

// How often a file being decoded is drawn anew.
constexpr std::chrono::milliseconds kPostInterval{100};

}  // namespace

WaveOverviewLoader::WaveOverviewLoader(QObject* parent) : QObject(parent) { }

WaveOverviewLoader::~WaveOverviewLoader()
{
    stop();
}

void WaveOverviewLoader::stop()
{
    if (stopping_)
        stopping_->store(true);
    if (decoder_.joinable())
        decoder_.join();
    stopping_.reset();
    // Whatever the stopped thread posted and is still queued is for an older generation.
    ++generation_;
}

void WaveOverviewLoader::clear()
{
    stop();
    overview_ = {};
    complete_ = false;
    emit changed();
}

void WaveOverviewLoader::load(const QString& path)
{
    clear();
    const std::string file = path.toStdString();
    if (std::optional<WaveOverview> kept = wave_overview_cache::read(file)) {
        overview_ = std::move(*kept);
        complete_ = true;
        emit changed();
        return;
    }
    stopping_ = std::make_shared<std::atomic<bool>>(false);
    decoder_ = std::thread([this, file, generation = generation_, stopping = stopping_] {
        // Taken before the first read: a file changed while it is decoded is
        // kept under the old identity, which it no longer matches.
        const auto identity = wave_overview_cache::identify(file);
        std::size_t posted = 0;
        const auto post = [&](const WaveOverview& o, bool whole) {
            std::vector<std::uint16_t> fresh(o.peaks.begin() + std::ptrdiff_t(posted), o.peaks.end());
            QMetaObject::invokeMethod(
                this,
                [this, generation, frames = o.frames, rate = o.rate, first = posted, fresh = std::move(fresh),
                    whole]() mutable { arrived(generation, frames, rate, first, std::move(fresh), whole); },
                Qt::QueuedConnection);
            posted = o.peaks.size();
        };
        auto last = std::chrono::steady_clock::now();
        const std::optional<WaveOverview> whole = computeWaveOverview(file, [&](const WaveOverview& soFar) {
            if (stopping->load())
                return false;
            const auto now = std::chrono::steady_clock::now();
            if (now - last >= kPostInterval) {
                post(soFar, false);
                last = now;
            }
            return true;
        });
        if (!whole)
            return;
        if (identity)
            wave_overview_cache::write(file, *identity, *whole);
        post(*whole, true);
    });
}

void WaveOverviewLoader::arrived(unsigned generation, std::int64_t frames, double rate, std::size_t first,
    std::vector<std::uint16_t> peaks, bool whole)
{
    if (generation != generation_ || first != overview_.peaks.size())
        return;
    overview_.rate = rate;
    overview_.frames = frames;
    overview_.peaks.insert(overview_.peaks.end(), peaks.begin(), peaks.end());
    complete_ = whole;
    emit changed();
}
