#include "AudioRecord/RecordCompleter.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

// Whether the file at path decodes to at least the frames the recorder
// counted, less what an encoder may leave unsaid at the very end (the last
// partial AAC packet and the resampler's tail, a few milliseconds).
bool holdsWhatWasWritten(const std::string& path, std::int64_t clientFrames, double clientRate)
{
    ExtAudioFileRef file;
    if (ExtAudioFile::open(path, file) != noErr)
        return false;
    AudioStreamBasicDescription format{};
    std::uint32_t size = sizeof format;
    std::int64_t length = 0;
    std::uint32_t lengthSize = sizeof length;
    if (file->getProperty(kExtAudioFileProperty_FileDataFormat, &size, &format) != noErr
        || file->getProperty(kExtAudioFileProperty_FileLengthFrames, &lengthSize, &length) != noErr)
        return false;
    const double seconds = clientRate > 0 ? double(clientFrames) / clientRate : 0.0;
    const double expected = seconds * format.mSampleRate;
    return double(length) >= expected - 0.05 * format.mSampleRate;
}

struct Job {
    std::unique_ptr<AudioFileStream> stream;
    std::int64_t lostFrames = 0;
    double clientRate = 0;
};

}  // namespace

struct RecordCompleter::Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Job> jobs;
    bool working = false;
    bool stopping = false;
    Handler handler;
    std::thread thread;

    void run()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return stopping || !jobs.empty(); });
            if (jobs.empty())
                return;
            Job job = std::move(jobs.front());
            jobs.pop_front();
            working = true;
            const Handler report = handler;
            lock.unlock();

            CompletedRecording done;
            done.path = job.stream->audioPath();
            done.writedFrames = job.stream->writedFrames();
            done.lostFrames = job.lostFrames;
            done.clientRate = job.clientRate;
            for (const std::int64_t frame : job.stream->markers())
                done.markers.push_back(job.clientRate > 0 ? double(frame) / job.clientRate : 0.0);
            done.completionStatus = job.stream->close();
            done.sources = job.stream->sourcePaths();
            job.stream.reset();
            done.status = done.completionStatus;
            // A rewrite that failed leaves the fragmented file, which plays and
            // holds the whole recording: nothing of the user's work is lost.
            if (done.status != noErr && holdsWhatWasWritten(done.path, done.writedFrames, done.clientRate))
                done.status = noErr;
            if (report)
                report(done);

            lock.lock();
            working = false;
            changed.notify_all();
        }
    }
};

RecordCompleter::RecordCompleter() : shared_(std::make_shared<Shared>()) { }

RecordCompleter::~RecordCompleter()
{
    {
        std::lock_guard lock(shared_->mutex);
        shared_->stopping = true;
    }
    shared_->changed.notify_all();
    if (!shared_->thread.joinable())
        return;
    if (abandoned_)
        shared_->thread.detach();  // it holds its own share of the state
    else
        shared_->thread.join();
}

void RecordCompleter::setHandler(Handler handler)
{
    std::lock_guard lock(shared_->mutex);
    shared_->handler = std::move(handler);
}

void RecordCompleter::complete(std::unique_ptr<AudioFileStream> stream, std::int64_t lostFrames, double clientRate)
{
    if (!stream)
        return;
    std::lock_guard lock(shared_->mutex);
    shared_->jobs.push_back({std::move(stream), lostFrames, clientRate});
    if (!shared_->thread.joinable())
        shared_->thread = std::thread([shared = shared_] { shared->run(); });
    shared_->changed.notify_all();
}

bool RecordCompleter::waitUntilIdle(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(shared_->mutex);
    return shared_->changed.wait_for(lock, timeout, [this] { return shared_->jobs.empty() && !shared_->working; });
}

bool RecordCompleter::idle() const
{
    std::lock_guard lock(shared_->mutex);
    return shared_->jobs.empty() && !shared_->working;
}

void RecordCompleter::abandon()
{
    abandoned_ = true;
}
