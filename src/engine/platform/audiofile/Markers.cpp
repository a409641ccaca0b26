#include "platform/audiofile/Markers.h"

#include "platform/audiofile/AudioFileCommon.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

namespace audiofile {
namespace {

void putLe(std::string& out, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out += char((v >> (8 * i)) & 0xFF);
}

std::uint32_t le32(const unsigned char* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

std::uint64_t le64(const unsigned char* p)
{
    return std::uint64_t(le32(p)) | std::uint64_t(le32(p + 4)) << 32;
}

// The markers a file of `frames` frames can hold, ascending and each once.
AudioMarkers within(AudioMarkers markers, std::int64_t frames, std::int64_t most)
{
    std::sort(markers.begin(), markers.end());
    markers.erase(std::unique(markers.begin(), markers.end()), markers.end());
    std::erase_if(markers, [&](std::int64_t f) { return f < 0 || f > frames || f > most; });
    return markers;
}

// The chapter before the first marker; a marker is never named so.
constexpr char kLeadTitle[] = "Start";

std::string markerName(std::size_t index)
{
    return "Marker " + std::to_string(index + 1);
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// A RIFF/WAVE (or RF64) file's cue points and rate; false for any other
// file, which FFmpeg is asked about instead.
bool readWaveMarkers(std::FILE* f, AudioMarkers& markers, double& rate)
{
    unsigned char head[12];
    if (std::fread(head, 1, 12, f) != 12 || (std::memcmp(head, "RIFF", 4) && std::memcmp(head, "RF64", 4))
        || std::memcmp(head + 8, "WAVE", 4))
        return false;
    std::uint64_t dataBytes64 = 0;
    unsigned char chunk[8];
    while (std::fread(chunk, 1, 8, f) == 8) {
        std::uint64_t size = le32(chunk + 4);
        if (!std::memcmp(chunk, "data", 4) && size == 0xFFFFFFFFu && dataBytes64 > 0)
            size = dataBytes64;
        // The chunks read here are small; anything else is skipped.
        const bool wanted
            = !std::memcmp(chunk, "ds64", 4) || !std::memcmp(chunk, "fmt ", 4) || !std::memcmp(chunk, "cue ", 4);
        if (wanted && size <= 1 << 20) {
            std::string body(size, '\0');
            if (std::fread(body.data(), 1, size, f) != size)
                break;
            const auto* p = reinterpret_cast<const unsigned char*>(body.data());
            if (!std::memcmp(chunk, "ds64", 4) && size >= 16)
                dataBytes64 = le64(p + 8);
            else if (!std::memcmp(chunk, "fmt ", 4) && size >= 8)
                rate = le32(p + 4);
            else if (!std::memcmp(chunk, "cue ", 4) && size >= 4) {
                const std::uint64_t count = std::min<std::uint64_t>(le32(p), (size - 4) / 24);
                for (std::uint64_t i = 0; i < count; ++i)
                    markers.push_back(le32(p + 4 + 24 * i + 20));  // the sample offset
            }
            if (size % 2 && std::fseek(f, 1, SEEK_CUR) != 0)
                break;
        } else if (size > std::uint64_t(std::numeric_limits<long>::max()) - 1
            || std::fseek(f, long(size + size % 2), SEEK_CUR) != 0) {
            break;
        }
    }
    std::sort(markers.begin(), markers.end());
    markers.erase(std::unique(markers.begin(), markers.end()), markers.end());
    return true;
}

}  // namespace

std::string waveMarkerChunks(const AudioMarkers& markers, std::int64_t frames)
{
    const AudioMarkers kept = within(markers, frames, std::numeric_limits<std::uint32_t>::max());
    if (kept.empty())
        return {};
    std::string cue = "cue ";
    putLe(cue, std::uint32_t(4 + 24 * kept.size()));
    putLe(cue, std::uint32_t(kept.size()));
    std::string labels = "adtl";
    for (std::size_t i = 0; i < kept.size(); ++i) {
        const std::uint32_t id = std::uint32_t(i + 1);
        putLe(cue, id);
        putLe(cue, std::uint32_t(kept[i]));  // its place in play order: the sample itself
        cue += "data";
        putLe(cue, 0);
        putLe(cue, 0);
        putLe(cue, std::uint32_t(kept[i]));
        const std::string name = markerName(i);
        labels += "labl";
        putLe(labels, std::uint32_t(4 + name.size() + 1));
        putLe(labels, id);
        labels += name;
        labels += '\0';
        if ((name.size() + 1) % 2)
            labels += '\0';
    }
    std::string list = "LIST";
    putLe(list, std::uint32_t(labels.size()));
    return cue + list + labels;
}

bool addChapters(AVFormatContext& out, const AudioMarkers& markers, int rate, std::int64_t frames)
{
    // A chapter of no length, at the very end, names nothing to play.
    const AudioMarkers kept = within(markers, frames - 1, std::numeric_limits<std::int64_t>::max());
    if (kept.empty() || rate <= 0)
        return true;
    // An MPEG-4 chapter track starts at the beginning whatever the first
    // chapter says, and its readers take it so (the muxer leaves a chapter
    // without a title out): a chapter named kLeadTitle covers the audio
    // before the first marker, and reading skips it.
    const bool lead = kept.front() > 0;
    // avformat_free_context() frees what is made here.
    auto** chapters = static_cast<AVChapter**>(av_calloc(kept.size() + 1, sizeof(AVChapter*)));
    if (!chapters)
        return false;
    av_freep(&out.chapters);
    out.chapters = chapters;
    out.nb_chapters = 0;
    for (std::size_t i = 0; i < kept.size() + (lead ? 1 : 0); ++i) {
        auto* chapter = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
        if (!chapter)
            return false;
        out.chapters[out.nb_chapters++] = chapter;
        const std::size_t marker = lead ? i - 1 : i;  // none for the lead
        chapter->id = std::int64_t(i + 1);
        chapter->time_base = AVRational{1, rate};
        chapter->start = lead && i == 0 ? 0 : kept[marker];
        chapter->end = marker + 1 < kept.size() || (lead && i == 0) ? kept[lead && i == 0 ? 0 : marker + 1] : frames;
        const std::string title = lead && i == 0 ? std::string(kLeadTitle) : markerName(marker);
        if (av_dict_set(&chapter->metadata, "title", title.c_str(), 0) < 0)
            return false;
    }
    return true;
}

bool readMarkers(const std::string& path, AudioMarkers& markers, double& rate)
{
    markers.clear();
    rate = 0;
    {
        const std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path.c_str(), "rbe"));
        if (!f)
            return false;
        if (readWaveMarkers(f.get(), markers, rate))
            return rate > 0;
    }
    quietFFmpegLog();
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0)
        return false;
    ffmpeg::InputFormatPtr in(raw);
    int index = av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index < 0 || raw->streams[index]->codecpar->sample_rate <= 0) {
        if (avformat_find_stream_info(raw, nullptr) < 0)
            return false;
        index = av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    }
    if (index < 0 || raw->streams[index]->codecpar->sample_rate <= 0)
        return false;
    rate = raw->streams[index]->codecpar->sample_rate;
    for (unsigned i = 0; i < raw->nb_chapters; ++i) {
        const AVChapter& chapter = *raw->chapters[i];
        const AVDictionaryEntry* title = av_dict_get(chapter.metadata, "title", nullptr, 0);
        if (chapter.start <= 0 && title && std::strcmp(title->value, kLeadTitle) == 0)
            continue;  // the stretch before the first marker (addChapters())
        markers.push_back(
            av_rescale_q_rnd(chapter.start, chapter.time_base, AVRational{1, int(rate)}, AV_ROUND_NEAR_INF));
    }
    std::sort(markers.begin(), markers.end());
    markers.erase(std::unique(markers.begin(), markers.end()), markers.end());
    return true;
}

}  // namespace audiofile
