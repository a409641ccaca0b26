#include "AudioRecord/RecordSession.h"

#include "platform/InterruptedRecording.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <ctime>

RecordSession::FileWatch::FileWatch(const std::string& path)
    : fd_(::open(path.c_str(), O_PATH | O_CLOEXEC | O_NOFOLLOW))
{ }

RecordSession::FileWatch& RecordSession::FileWatch::operator=(FileWatch&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

RecordSession::FileWatch::~FileWatch()
{
    if (fd_ >= 0)
        ::close(fd_);
}

std::optional<std::string> RecordSession::FileWatch::whereIs(const std::string& path) const
{
    struct stat here { }, there { };
    if (::fstat(fd_, &here) != 0)
        return path;  // cannot tell: taken as still there
    if (here.st_nlink == 0)
        return std::nullopt;
    if (::lstat(path.c_str(), &there) == 0 && there.st_dev == here.st_dev && there.st_ino == here.st_ino)
        return path;
    // Renamed: the kernel knows the descriptor's path as it is now.
    char link[PATH_MAX];
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    const ssize_t n = ::readlink(self.c_str(), link, sizeof link);
    if (n <= 0 || std::size_t(n) >= sizeof link)
        return path;
    const std::string now(link, std::size_t(n));
    // A new path must name this same file (a path with a newline, or one in
    // another mount namespace, may not read back).
    if (::lstat(now.c_str(), &there) != 0 || there.st_dev != here.st_dev || there.st_ino != here.st_ino)
        return path;
    return now;
}

// Listening starts before the list is read, so no change in between is missed.
RecordSession::RecordSession(AudioRecordDevice& recorder, Hooks hooks)
    : recorder_(recorder), hooks_(std::move(hooks)), devices_((recorder.devicesChanged(), recorder))
{
    inbox_->wake = hooks_.wake;
    recorder_.setCompletionHandler([inbox = inbox_](const CompletedRecording& done) {
        {
            const std::lock_guard<std::mutex> lock(inbox->mutex);
            inbox->arrived.push_back(done);
        }
        if (inbox->wake)
            inbox->wake();
    });
    if (hooks_.every)
        hooks_.every(kCheckInterval, [this] { check(); });
}

namespace {

const RecordSource* inputOf(const std::vector<RecordSource>& sources)
{
    const auto input = std::find_if(
        sources.begin(), sources.end(), [](const RecordSource& s) { return s.kind == RecordSource::Kind::Input; });
    return input == sources.end() ? nullptr : &*input;
}

const RecordSource* applicationOf(const std::vector<RecordSource>& sources)
{
    const auto app = std::find_if(sources.begin(), sources.end(),
        [](const RecordSource& s) { return s.kind == RecordSource::Kind::Application; });
    return app == sources.end() ? nullptr : &*app;
}

bool withComputerSound(const std::vector<RecordSource>& sources)
{
    return std::any_of(sources.begin(), sources.end(),
        [](const RecordSource& s) { return s.kind == RecordSource::Kind::ComputerSound; });
}

}  // namespace

bool RecordSession::captures(const RecordRecipe& recipe) const
{
    const std::vector<RecordSource>& sources = recipe.sources;
    const auto& device = recorder_.device();
    const RecordSource* input = inputOf(sources);
    const RecordSource* app = applicationOf(sources);
    const std::string appName = app ? app->uniqueID : std::string();
    if (device && !input)
        return app ? device->application() == appName : device->isComputerSound() && withComputerSound(sources);
    if (!device || !input)
        return false;
    // A device that left the server can no longer say which it was: the
    // session remembers the one it opened; one opened behind its back is
    // taken as the chosen one, and its loss is told as such.
    auto uid = device->uniqueID();
    if (!uid && openedDevice_.lock() == device)
        uid = openedUID_;
    // A mix asked for its parts, or no longer, is opened anew.
    return !uid
        || (*uid == input->uniqueID && device->mixSystemAudio() == withComputerSound(sources)
            && device->mixApplication() == appName && device->separateSources() == recipe.separate);
}

void RecordSession::open(const RecordRecipe& recipe)
{
    const std::vector<RecordSource>& sources = recipe.sources;
    recorder_.setSeparateSources(recipe.separate);
    const RecordSource* input = inputOf(sources);
    const RecordSource* app = applicationOf(sources);
    // The computer's sound or an application beside an input is mixed into
    // it; alone, it is recorded itself.
    recorder_.setWithSystemAudio(input && !app && withComputerSound(sources));
    recorder_.setWithApplication(input && app ? app->uniqueID : std::string());
    if (input)
        configDevice(devices_.find(input->uniqueID));
    else if (app)
        configDevice(AudioRecordMicDevice::application(app->uniqueID));
    else
        configDevice(withComputerSound(sources) ? devices_.computerSound() : nullptr);
}

RecordSession::StartResult RecordSession::start(const RecordRecipe& recipe)
{
    if (state_ == State::Armed)
        stop();
    if (!captures(recipe))
        open(recipe);
    if (!recorder_.device())
        return StartResult::NoDevice;
    // Its capture already ended (the source or the output under it was
    // unloaded): a file now would only ever hold silence.
    if (recorder_.fault() == RecordFault::DeviceLost)
        return StartResult::DeviceGone;
    if (recipe.onSound) {
        arm(recipe);
        return StartResult::Started;
    }
    // A longer pre-roll than is kept has nothing to reach back to yet; the
    // file begins as far back as the kept audio goes.
    if (recipe.preRoll > recorder_.keptSeconds())
        recorder_.keepLast(recipe.preRoll);
    return startTake(recipe, -1);
}

void RecordSession::keepBeforeStart(double seconds)
{
    keepBeforeStart_ = seconds;
    if (!armed_)
        recorder_.keepLast(seconds);
}

void RecordSession::arm(const RecordRecipe& recipe)
{
    // Sound is seen on the audio thread but the file is made on ours, a
    // check later: what came in between is kept too, so the take begins
    // where the sound did.
    recorder_.keepLast(recipe.preRoll + kArmedMarginSeconds);
    const double hold = std::max(recipe.onSound->silence, 0.0) * recorder_.deviceRate();
    recorder_.arm(SoundTrigger::threshold(recipe.onSound->threshold), std::int64_t(std::ceil(hold)));
    armed_ = recipe;
    state_ = State::Armed;
}

RecordSession::StartResult RecordSession::startTake(const RecordRecipe& recipe, std::int64_t fromFrame)
{
    // The recorder itself stops writing at the frame: the file holds the
    // length exactly, however the sound server paces its deliveries.
    frameLimit_ = recipe.seconds > 0 ? std::int64_t(std::ceil(recipe.seconds * recorder_.deviceRate() - 1e-6)) : 0;
    recorder_.setFrameLimit(frameLimit_);
    const std::int64_t partFrames
        = recipe.splitEvery > 0 ? std::int64_t(std::ceil(recipe.splitEvery * recorder_.deviceRate() - 1e-6)) : 0;
    recorder_.setPartFrames(partFrames);
    split_ = recipe;
    if (!split_.format)
        split_.format = &defaultAudioFormat();
    part_ = partFrames > 0 ? 1 : 0;
    nextMade_ = false;
    failure_ = noErr;
    const AudioFormat& format = *split_.format;
    // A take that sound started is named when the sound came.
    split_.destination = nameRecording(recipe.destination, format, std::time(nullptr));
    const std::string path = part_ ? partOf(split_.destination, part_).path() : split_.destination.path();
    if (!recorder_.recordToPath(path, format, recipe.quality, &failure_))
        return StartResult::FileNotCreated;
    path_ = path;
    watch_ = FileWatch(path);
    tellMissingSources();
    followParts(true);
    const auto preRoll = std::int64_t(std::llround(std::max(recipe.preRoll, 0.0) * recorder_.deviceRate()));
    if (fromFrame >= 0)
        recorder_.start(0, std::max<std::int64_t>(fromFrame - preRoll, 0));
    else
        recorder_.start(preRoll);
    // The mark names the file and what identifies it (device, inode, header),
    // so recovery never finishes a file that took its place.
    if (hooks_.writeMark)
        hooks_.writeMark(markOf(path));
    state_ = State::Recording;
    reportedFault_ = RecordFault::None;
    lostSeen_ = lostReported_ = 0;
    heardSeen_ = recorder_.heardBuffers();
    heardAt_ = now_();
    silenceToldAt_.reset();
    // Muted, the input gives silence for the whole take: said at once, and
    // the silence that follows is not told again until the repeat time.
    if (recorder_.device()->isMuted()) {
        silenceToldAt_ = heardAt_;
        if (hooks_.silence)
            hooks_.silence(Silence::Muted);
    }
    return StartResult::Started;
}

bool RecordSession::reachedLength() const
{
    return frameLimit_ > 0 && recorder_.audioOutput() && recorder_.recordedFrames() >= frameLimit_;
}

void RecordSession::pause()
{
    if (state_ != State::Recording)
        return;
    recorder_.pause();
    state_ = State::Paused;
}

std::optional<double> RecordSession::addMarker()
{
    AudioFileStream* output = recorder_.audioOutput();
    if (state_ == State::Idle || !output)
        return std::nullopt;
    output->addMarker();
    return output->markers().empty() ? 0.0 : double(output->markers().back()) / recorder_.deviceRate();
}

void RecordSession::resume()
{
    if (state_ != State::Paused)
        return;
    recorder_.start();
    state_ = State::Recording;
    heardAt_ = now_();  // a pause records nothing, silence included
}

double RecordSession::stop(Ending ending)
{
    // The take first: until it is handed over, the trigger still ends it where silence began.
    const double length = stopTake(ending);
    if (armed_) {
        recorder_.disarm();
        armed_.reset();
        recorder_.keepLast(keepBeforeStart_);
        state_ = State::Idle;
    }
    return length;
}

double RecordSession::stopTake(Ending ending)
{
    if (state_ == State::Idle || state_ == State::Armed)
        return 0;
    checkLostAudio(true);
    const bool handedOver = recorder_.audioPath().has_value();
    if (handedOver)
        followFile();  // a file moved since the last look is delivered from where it is
    const double length = recorder_.stopWriting();
    followParts(false);  // a part filled since the last look
    recorder_.recordToPath(std::nullopt);
    watch_ = FileWatch();
    state_ = State::Idle;
    if (!path_)
        return length;
    finishing_.emplace_back(*path_, ending);
    // A device change already ended this file; it may be complete by now.
    const auto completed = [&](const CompletedRecording& done) { return done.path == *path_; };
    if (!handedOver && std::any_of(completedEarly_.begin(), completedEarly_.end(), completed) && hooks_.wake)
        hooks_.wake();
    return length;
}

void RecordSession::configDevice(std::shared_ptr<AudioRecordMicDevice> device)
{
    openedDevice_ = device;
    openedUID_ = device ? device->uniqueID() : std::nullopt;
    recorder_.configDevice(std::move(device));
    reportedFault_ = RecordFault::None;
}

bool RecordSession::followFile()
{
    // Only the recorder's own output: a device change may have ended the file already.
    if (!watch_ || !path_ || recorder_.audioPath() != path_)
        return true;
    const auto now = watch_.whereIs(*path_);
    if (!now)
        return false;
    if (*now == *path_)
        return true;
    path_ = *now;
    if (AudioFileStream* output = recorder_.audioOutput())
        output->setAudioPath(*now);
    // A crash from here on leaves the file where it now is.
    if (hooks_.writeMark)
        hooks_.writeMark(markOf(*now));
    if (hooks_.moved)
        hooks_.moved(*now);
    return true;
}

void RecordSession::followParts(bool makeNext)
{
    if (!part_)
        return;
    if (const auto full = recorder_.takeFullPart()) {
        finishing_.emplace_back(*full, Ending::Part);
        ++part_;
        nextMade_ = false;
        path_ = recorder_.audioPath();
        watch_ = FileWatch(*path_);
        tellMissingSources();
        // A crash from here on leaves this part unfinished; the full one is being completed.
        if (hooks_.writeMark)
            hooks_.writeMark(markOf(*path_));
    }
    // Made while the current part fills, so the audio thread only has to move on to it. One
    // that cannot be made is asked for again at the next look; meanwhile the current part goes on.
    if (makeNext && !nextMade_)
        nextMade_ = recorder_.recordNextPartToPath(
            partOf(split_.destination, part_ + 1).path(), *split_.format, split_.quality);
}

std::string RecordSession::markOf(const std::string& path) const
{
    const AudioFileStream* output = recorder_.audioOutput();
    return recordingMark(path, output ? output->sourcePaths() : std::vector<std::string>{});
}

void RecordSession::tellMissingSources()
{
    if (const AudioFileStream* output = recorder_.audioOutput(); output && hooks_.sourceMissing)
        for (const auto& [path, why] : output->missingSources())
            hooks_.sourceMissing(path, why);
}

void RecordSession::tell(State state)
{
    if (hooks_.changed)
        hooks_.changed(state);
}

void RecordSession::checkTrigger()
{
    if (!armed_)
        return;
    if (state_ == State::Armed) {
        const std::int64_t at = recorder_.triggeredAt();
        if (at < 0)
            return;
        if (startTake(*armed_, at) != StartResult::Started) {
            stop(Ending::Fault);
            tell(State::Idle);
            if (hooks_.ended)
                hooks_.ended(RecordFault::WriteFailed);
            return;
        }
        tell(State::Recording);
        return;
    }
    if (state_ == State::Recording && recorder_.silentFrom() >= 0) {
        if (armed_->onSound->again) {
            stopTake(Ending::User);
            arm(*armed_);
        } else {
            stop();
        }
        tell(state_);
    }
}

void RecordSession::check()
{
    checkTrigger();
    if (state_ == State::Recording)
        followParts(true);
    if (const RecordFault fault = checkFault(); fault != RecordFault::None && hooks_.ended)
        hooks_.ended(fault);
    checkLostAudio(false);
    checkSilence();
    if (recorder_.devicesChanged()) {
        devices_.refresh();
        if (hooks_.devicesChanged)
            hooks_.devicesChanged();
    }
}

RecordFault RecordSession::checkFault()
{
    if (state_ != State::Idle && !followFile()) {
        reportedFault_ = RecordFault::FileRemoved;
        stop(Ending::Fault);
        return RecordFault::FileRemoved;
    }
    const RecordFault fault = recorder_.fault();
    if (fault == reportedFault_)
        return RecordFault::None;
    reportedFault_ = fault;
    if (fault == RecordFault::None || state_ == State::Idle)
        return RecordFault::None;
    // The capture or the file is gone: end the recording while what it holds is still whole.
    if (fault == RecordFault::WriteFailed && recorder_.audioOutput())
        failure_ = recorder_.audioOutput()->writeStatus();
    stop(Ending::Fault);
    return fault;
}

void RecordSession::checkSilence()
{
    if (state_ != State::Recording)
        return;
    const Clock::time_point now = now_();
    const std::uint64_t heard = recorder_.heardBuffers();
    if (heard != heardSeen_) {
        heardSeen_ = heard;
        heardAt_ = now;
        return;
    }
    if (now - heardAt_ < silenceAfter_ || (silenceToldAt_ && now - *silenceToldAt_ < silenceRepeat_))
        return;
    silenceToldAt_ = now;
    if (hooks_.silence)
        hooks_.silence(Silence::Silent);
}

void RecordSession::setSilenceTimes(
    Clock::duration after, Clock::duration repeat, std::function<Clock::time_point()> now)
{
    silenceAfter_ = after;
    silenceRepeat_ = repeat;
    if (now)
        now_ = std::move(now);
}

void RecordSession::checkLostAudio(bool finalCheck)
{
    const std::int64_t lost = recorder_.lostFrames();
    // A stall refuses cycle after cycle: wait until it is over and tell the whole loss once.
    const bool growing = lost > lostSeen_;
    lostSeen_ = lost;
    if ((growing && !finalCheck) || lost <= lostReported_)
        return;
    const double seconds = double(lost - lostReported_) / recorder_.deviceRate();
    lostReported_ = lost;
    if (hooks_.audioLost)
        hooks_.audioLost(seconds);
}

void RecordSession::deliverCompleted()
{
    std::vector<CompletedRecording> arrived;
    {
        const std::lock_guard<std::mutex> lock(inbox_->mutex);
        arrived.swap(inbox_->arrived);
    }
    completedEarly_.insert(completedEarly_.end(), arrived.begin(), arrived.end());
    for (auto it = completedEarly_.begin(); it != completedEarly_.end();) {
        const auto stopped
            = std::find_if(finishing_.begin(), finishing_.end(), [&](const auto& f) { return f.first == it->path; });
        if (stopped == finishing_.end()) {
            ++it;
            continue;
        }
        const Delivery delivery{it->path, it->status, stopped->second, it->markers, it->sources};
        finishing_.erase(stopped);
        it = completedEarly_.erase(it);
        deliver(delivery);
    }
}

void RecordSession::deliver(const Delivery& delivery)
{
    if (hooks_.delivered)
        hooks_.delivered(delivery);
    // Only now, with the file complete and handed on. A later recording may
    // have marked its own file meanwhile: that mark stays.
    if (hooks_.readMark && hooks_.writeMark && recordingMarkPath(hooks_.readMark()) == delivery.path)
        hooks_.writeMark(std::string());
}

bool RecordSession::waitForCompletion(std::chrono::milliseconds timeout)
{
    const bool idle = recorder_.waitForCompletion(timeout);
    deliverCompleted();
    return idle;
}

void RecordSession::completeBeforeExit(std::chrono::milliseconds timeout)
{
    if (waitForCompletion(timeout))
        return;
    // The fragmented file plays as it is; the user gets it rather than nothing.
    recorder_.abandonCompletion();
    deliverCompleted();
    const auto left = std::move(finishing_);
    finishing_.clear();
    for (const auto& [path, ending] : left)
        deliver({path, noErr, ending, {}, {}});
}
