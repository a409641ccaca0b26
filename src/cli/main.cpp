// traytape-cli: the recording engine for scripts and headless machines.
//   traytape-cli devices
//   traytape-cli apps
//   traytape-cli record [--device INDEX|NAME] [--with-system-audio | --app NAME|BINARY|PID] [--separate] [--seconds N]
//   [--split-every N] [--warn-silence N]
//                       [--rate 44100|48000|source] [--channels 1|2] [--bits 16|24|32|32f] [--bitrate K] [--force] OUT
//   traytape-cli info FILE
//   traytape-cli export [--start S] [--end E] [--fade-in F] [--fade-out F] [--loudness LUFS]
//                       [--rate 44100|48000|source] [--channels 1|2] [--bits 16|24|32|32f] [--bitrate K] IN OUT
//   traytape-cli system-audio on|off
//   --verbose before the command shows FFmpeg's own messages; -- ends the options.
//   traytape-cli --help, --version, and COMMAND --help print to standard output.
// Every failure prints one line naming the problem and exits non-zero. Paths
// and device names are printed with their control characters escaped
// (terminalText()), so each message stays one line.
#include "AudioRecord/AudioDeviceChoice.h"
#include "AudioRecord/AudioRecordDevice.h"
#include "AudioRecord/RecordRecipe.h"
#include "AudioRecord/RecordSession.h"
#include "Export/AudioConverter.h"
#include "platform/AudioFormat.h"
#include "platform/pulse/PulsePlatform.h"
#include "platform/FFmpegUtil.h"
#include "platform/InterruptedRecording.h"
#include "platform/TerminalText.h"
#include "platform/audiofile/SafeFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

constexpr const char* kSystemAudioName = kLoopbackDeviceName;

std::atomic<bool> stopRequested{false};

void onStopSignal(int)
{
    stopRequested.store(true);
}

int fail(const std::string& message, int code = 1)
{
    std::fprintf(stderr, "traytape-cli: %s\n", terminalText(message).c_str());
    return code;
}

// The file types by extension, as the help names them: "(.m4a, .wav, .caf; without one, .m4a)".
std::string fileTypes(bool exportableOnly)
{
    return "(" + audioFormatExtensions(exportableOnly) + "; without one, ."
        + std::string(defaultAudioFormat().extension()) + ")";
}

// The format OUT's extension names, among those the command writes. Null,
// with the one-line refusal printed, for any other: a file of one format
// under another's name would be taken for what its name says.
const AudioFormat* formatOfOut(const std::string& out, bool exportableOnly, int& refusal)
{
    const AudioFormat* format = audioFormatForPath(out);
    if (format && (format->exportable || !exportableOnly))
        return format;
    const std::string name = out.substr(out.find_last_of('/') == std::string::npos ? 0 : out.find_last_of('/') + 1);
    refusal = fail(
        "unknown format " + name.substr(name.find_last_of('.')) + ": use " + audioFormatExtensions(exportableOnly), 2);
    return nullptr;
}

// Each command's synopsis and what it does, for its own --help and the general usage.
struct CommandHelp {
    const char* name;
    const char* synopsis;
    const char* details;
};
constexpr CommandHelp kCommandHelp[] = {
    {"devices", "traytape-cli devices",
        "devices lists the input devices, one a line: index, name, unique identifier,\n"
        "channels and sample rate, separated by tabs.\n"},
    {"apps", "traytape-cli apps",
        "apps lists the applications playing now, one a line: index, name, binary (its\n"
        "program), process id and how many streams it plays, separated by tabs.\n"},
    {"record",
        "traytape-cli record [--device INDEX|NAME] [--with-system-audio | --app NAME|BINARY|PID] [--separate]\n"
        "                           [--seconds N] [--split-every N] [--warn-silence N]\n"
        "                           [--rate 44100|48000|source] [--channels 1|2] [--bits 16|24|32|32f] [--bitrate K]\n"
        "                           [--start-on-sound DB [--pre-roll S] [--stop-after-silence S]] [--force] OUT",
        "record records the default input, or the --device given by its index or name,\n"
        "into OUT, in the format of its extension {recordTypes}, until --seconds of\n"
        "audio are in it or Ctrl+C, and prints the file's frames and the seconds captured.\n"
        "--rate is the file's sample rate (44.1 kHz by default, Opus 48 kHz only);\n"
        "source keeps the device's own rate, unresampled. --channels 1 records the mean\n"
        "of the device's channels (2 by default). --bits is a WAV's depth (16, 24, 32 or\n"
        "32f for float; 32 by default) or a FLAC's (16 or 24, 24 by default). --bitrate\n"
        "is the kb/s of {bitRates}.\n"
        "A choice OUT's format does not take is refused before anything is recorded.\n"
        "record --device \"Vortanx System Audio\" records what the default output plays,\n"
        "following it as it changes, whether system-audio is on or off.\n"
        "record --with-system-audio mixes what the default output plays into the input.\n"
        "record --app records what one application plays (named as apps lists it: by\n"
        "its name, its program or its process id), every stream it opens, and silence\n"
        "while it plays nothing; with --device, mixed into that input. The sound\n"
        "server's routing is left as it is. An application that plays nothing now\n"
        "is refused.\n"
        "record --separate, where something is mixed into the input, also writes each\n"
        "source into a file of its own beside OUT: OUT.input.ext, and OUT.system.ext or\n"
        "OUT.app.ext, as loud as they came in (the mix alone is limited), each the\n"
        "same length as OUT to the frame. A take of one source writes OUT alone.\n"
        "record warns on standard error when the input is muted, and when it has given\n"
        "only silence for --warn-silence seconds (30 by default; again every 10 minutes).\n"
        "--split-every cuts the recording into parts of N seconds (1 or more), named\n"
        "\"OUT 001.ext\", \"OUT 002.ext\" …, which join without a gap; each part's name is\n"
        "printed on a line of its own as it is complete, before the frames of them all.\n"
        "record --start-on-sound DB listens, and starts writing when the input's peak\n"
        "first reaches DB dBFS (-60 to 0), with the --pre-roll seconds heard before it\n"
        "(0 to 60); it stops after --stop-after-silence seconds below DB, else at\n"
        "--seconds or Ctrl+C.\n"
        "OUT is never replaced without --force.\n"},
    {"info", "traytape-cli info FILE",
        "info prints FILE's length in seconds, sample rate, channels, codec and bit\n"
        "depth (16, 24, 32, 32f for float, - for a compressed file), separated by tabs.\n"},
    {"export",
        "traytape-cli export [--start S] [--end E] [--fade-in F] [--fade-out F] [--loudness LUFS]\n"
        "                           [--rate 44100|48000|source] [--channels 1|2] [--bits 16|24|32|32f]\n"
        "                           [--bitrate K] IN OUT",
        "export writes exactly the frames from --start to --end (seconds, the end\n"
        "excluded, at most to the end of IN) as a file of OUT's type\n"
        "{exportTypes}; --fade-in rises from silence at --start, --fade-out\n"
        "falls to silence at --end (0 to 5 s each; where they overlap the lower\n"
        "applies). It prints the frames and seconds written. OUT is replaced only\n"
        "once complete, and never when it is the recording TrayTape is making.\n"
        "--loudness measures the range's integrated loudness (EBU R128) and writes\n"
        "it with the one gain that brings it to LUFS (-60 to -5; -16 suits podcasts,\n"
        "-23 broadcast), its true peaks limited to -1 dBTP, before the fades; it\n"
        "prints the loudness measured, the gain and the true peak written. A silent\n"
        "range gets no gain.\n"
        "--rate, --channels, --bits and --bitrate choose as record's do (44.1 kHz\n"
        "stereo by default, Opus 48 kHz; source: IN's own rate, unresampled), and are\n"
        "refused the same way before anything is written.\n"},
    {"system-audio", "traytape-cli system-audio on|off",
        "system-audio on makes the input device \"Vortanx System Audio\" carry what the\n"
        "default output plays, and keeps it after the command ends; run it again after\n"
        "choosing another default output. system-audio off removes the device.\n"},
};

constexpr const char* kGeneralOptions
    = "--verbose before the command shows FFmpeg's own messages; -- ends the options.\n"
      "traytape-cli COMMAND --help describes one command; traytape-cli --version\n"
      "prints the version.\n";

// The formats with a bit rate to choose, and its range: ".m4a 32-256, .opus 24-256".
std::string bitRateRanges()
{
    std::string text;
    for (const AudioFormat& f : audioFormats())
        if (f.recordable() && f.bitRateRange[1] > 0)
            text += (text.empty() ? "." : ", .") + std::string(f.extension()) + " "
                + std::to_string(f.bitRateRange[0] / 1000) + "-" + std::to_string(f.bitRateRange[1] / 1000);
    return text;
}

// A command's details, with the file types and bit rates read from the format table.
std::string detailsOf(const CommandHelp& command)
{
    std::string text = command.details;
    if (const auto at = text.find("{bitRates}"); at != std::string::npos)
        text.replace(at, std::strlen("{bitRates}"), bitRateRanges());
    for (const auto& [field, exportableOnly] : {std::pair{"{recordTypes}", false}, {"{exportTypes}", true}})
        if (const auto at = text.find(field); at != std::string::npos)
            text.replace(at, std::strlen(field), fileTypes(exportableOnly));
    return text;
}

void printUsage(std::FILE* to)
{
    const char* lead = "usage: ";
    for (const CommandHelp& command : kCommandHelp) {
        std::fprintf(to, "%s%s\n", lead, command.synopsis);
        lead = "       ";
    }
    std::fprintf(to, "\n%s", kGeneralOptions);
    for (const CommandHelp& command : kCommandHelp)
        std::fprintf(to, "\n%s", detailsOf(command).c_str());
}

// A mistake in the command line: the whole usage on standard error.
int usage()
{
    printUsage(stderr);
    return 2;
}

const CommandHelp* helpFor(const std::string& name)
{
    for (const CommandHelp& command : kCommandHelp)
        if (name == command.name)
            return &command;
    return nullptr;
}

// Whether the user asks for help among a command's options (before "--").
bool asksForHelp(const std::vector<std::string>& args)
{
    for (const std::string& arg : args) {
        if (arg == "--")
            return false;
        if (arg == "--help" || arg == "-h")
            return true;
    }
    return false;
}

std::string formatSeconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds);
    return text;
}

int listDevices()
{
    AudioRecordDevice recorder;
    const AudioDeviceChoice choice(recorder);
    const auto devices = choice.inputs();
    if (devices.empty())
        return fail("no input devices (is a sound server running?)");
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const auto format = devices[i]->inputFormat();
        std::printf("%zu\t%s\t%s\t%u\t%.0f\n", i, terminalText(devices[i]->deviceName()).c_str(),
            terminalText(devices[i]->uniqueID().value_or("")).c_str(), format.mChannelsPerFrame, format.mSampleRate);
    }
    return 0;
}

int listApplications()
{
    const auto applications = AudioDeviceChoice::playingApplications();
    for (std::size_t i = 0; i < applications.size(); ++i) {
        const AudioProcessInfo& app = applications[i];
        std::printf("%zu\t%s\t%s\t%u\t%u\n", i, terminalText(app.name).c_str(), terminalText(app.binary).c_str(),
            app.pid, app.streams);
    }
    return 0;
}

// The length of an audio file in its own frames; none when it cannot be read.
std::optional<std::int64_t> fileFrames(const std::string& path)
{
    auto stream = AudioFileStream::streamForReadingAtPath(path);
    if (!stream)
        return std::nullopt;
    std::int64_t frames = 0;
    std::uint32_t size = sizeof frames;
    if (stream->audioFile()->getProperty(kExtAudioFileProperty_FileLengthFrames, &size, &frames) != noErr)
        return std::nullopt;
    return frames;
}

std::string parentFolder(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A whole number from `text`; nullopt for anything else.
std::optional<int> wholeNumber(const std::string& text)
{
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || !end || *end != '\0' || errno != 0 || value < INT_MIN / 1000 || value > INT_MAX / 1000)
        return std::nullopt;
    return int(value);
}

bool isQualityOption(const std::string& option)
{
    return option == "--rate" || option == "--channels" || option == "--bits" || option == "--bitrate";
}

// One of record's and export's choices within the format into `quality`;
// false, with the refusal printed to `refusal`, for a value no format takes.
bool parseQuality(const std::string& option, const std::string& value, AudioQuality& quality, int& refusal)
{
    if (option == "--bits") {
        quality.depth = sampleDepthNamed(value);
        if (!quality.depth)
            refusal = fail("--bits needs 16, 24, 32 or 32f, not \"" + value + "\"", 2);
        return quality.depth.has_value();
    }
    const std::optional<int> number
        = value == "source" && option == "--rate" ? AudioQuality::kSourceRate : wholeNumber(value);
    if (!number || (*number <= 0 && *number != AudioQuality::kSourceRate)) {
        refusal = fail(option
                + (option == "--rate"            ? " needs 44100, 48000 or source"
                        : option == "--channels" ? " needs 1 or 2"
                                                 : " needs kb/s, a whole number")
                + ", not \"" + value + "\"",
            2);
        return false;
    }
    if (option == "--rate")
        quality.sampleRate = *number;
    else if (option == "--channels")
        quality.channels = *number;
    else
        quality.bitRate = *number * 1000;
    return true;
}

int record(const std::vector<std::string>& args)
{
    AudioQuality quality;
    std::string deviceArg;
    std::optional<std::string> appArg;
    std::string out;
    double seconds = 0;
    double splitEvery = 0;
    double warnSilence = 30;
    std::optional<SoundStart> onSound;
    double preRoll = 0;
    double stopAfterSilence = 0;
    bool force = false;
    bool withSystemAudio = false;
    bool separate = false;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (optionsEnded && out.empty() && !args[i].empty()) {
            out = args[i];
        } else if (optionsEnded) {
            return usage();
        } else if (args[i] == "--") {
            optionsEnded = true;
        } else if (args[i] == "--with-system-audio") {
            withSystemAudio = true;
        } else if (args[i] == "--separate") {
            separate = true;
        } else if (args[i] == "--device" && i + 1 < args.size()) {
            deviceArg = args[++i];
        } else if (args[i] == "--app" && i + 1 < args.size()) {
            appArg = args[++i];
        } else if ((args[i] == "--seconds" || args[i] == "--warn-silence" || args[i] == "--split-every")
            && i + 1 < args.size()) {
            double& value = args[i] == "--seconds" ? seconds : args[i] == "--split-every" ? splitEvery : warnSilence;
            char* end = nullptr;
            value = std::strtod(args[++i].c_str(), &end);
            if (!end || *end != '\0' || !(value > 0) || !std::isfinite(value))
                return fail(args[i - 1] + " needs a positive number, not \"" + args[i] + "\"", 2);
            // A part is made while the one before fills: far shorter, and the seams would outrun the loop.
            if (&value == &splitEvery && value < 1)
                return fail("--split-every needs 1 second or more, not \"" + args[i] + "\"", 2);
        } else if (isQualityOption(args[i]) && i + 1 < args.size()) {
            int refusal = 0;
            if (!parseQuality(args[i], args[i + 1], quality, refusal))
                return refusal;
            ++i;
        } else if ((args[i] == "--start-on-sound" || args[i] == "--pre-roll" || args[i] == "--stop-after-silence")
            && i + 1 < args.size()) {
            const bool level = args[i] == "--start-on-sound";
            char* end = nullptr;
            const double value = std::strtod(args[i + 1].c_str(), &end);
            const double lowest = level ? -60 : 0, highest = level ? 0 : 60;  // the preferences' ranges
            if (!end || *end != '\0' || args[i + 1].empty() || !(value >= lowest && value <= highest))
                return fail(args[i] + " needs " + (level ? "dBFS from -60 to 0" : "seconds from 0 to 60") + ", not \""
                        + args[i + 1] + "\"",
                    2);
            if (level)
                onSound = SoundStart{value};
            else
                (args[i] == "--pre-roll" ? preRoll : stopAfterSilence) = value;
            ++i;
        } else if (args[i] == "--force") {
            force = true;
        } else if (out.empty() && !args[i].empty() && args[i][0] != '-') {
            out = args[i];
        } else {
            return usage();
        }
    }
    if (out.empty())
        return usage();
    // This process heard nothing before it was started: there is nothing to reach back to but what it listens to.
    if (!onSound && (preRoll > 0 || stopAfterSilence > 0))
        return fail(std::string(preRoll > 0 ? "--pre-roll" : "--stop-after-silence") + " needs --start-on-sound", 2);
    if (onSound)
        onSound->silence = stopAfterSilence;
    if (appArg && withSystemAudio)
        return fail("--app and --with-system-audio cannot be used together", 2);
    int refusal = 0;
    const AudioFormat* format = formatOfOut(out, false, refusal);
    if (!format)
        return refusal;
    if (const std::string refused = qualityRefusal(*format, quality); !refused.empty())
        return fail(refused, 2);

    struct stat st { };
    const std::string folder = parentFolder(out);
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return fail("folder does not exist: " + folder);
    // lstat: a link, even one to nothing, is a name that exists. Split, the first part's name.
    const std::string first = splitEvery > 0 ? partOf({{}, out}, 1).path() : out;
    if (::lstat(first.c_str(), &st) == 0 && !force)
        return fail("file exists (use --force to replace it): " + first);
    const bool mixed = withSystemAudio || (appArg && !deviceArg.empty());
    if (separate && mixed && !force)
        for (const char* source : {kInputSource, appArg ? kApplicationSource : kSystemSource})
            if (const std::string part = sourceOf({{}, first}, source).path(); ::lstat(part.c_str(), &st) == 0)
                return fail("file exists (use --force to replace it): " + part);
    // Named by a user, an application that plays nothing now is most likely
    // misspelt: a take of silence would only say so later.
    if (appArg && !AudioDeviceChoice::findApplication(*appArg))
        return fail("no application called " + *appArg + " is playing", 2);

    AudioRecordDevice recorder;
    recorder.pause();
    OSStatus closed = noErr;
    double lostSeconds = 0;
    RecordFault fault = RecordFault::None;
    std::string name;  // the input's, once it is found
    // The session's checks run in this command's own loop, below.
    std::function<void()> check;
    RecordSession::Hooks hooks;
    std::vector<std::string> parts;
    hooks.delivered = [&closed, &parts, splitEvery](const RecordSession::Delivery& done) {
        if (closed == noErr || closed == kAudioFileNothingRecordedError)
            closed = done.status;
        if (splitEvery > 0 && done.status != kAudioFileNothingRecordedError) {
            parts.push_back(done.path);
            std::printf("%s\n", terminalText(done.path).c_str());
            std::fflush(stdout);
        }
    };
    hooks.audioLost = [&lostSeconds](double seconds) { lostSeconds += seconds; };
    hooks.ended = [&fault](RecordFault why) { fault = why; };
    hooks.sourceMissing = [](const std::string& path, OSStatus why) {
        std::fprintf(stderr, "cannot create file: %s (%s); the mix is recorded without it\n",
            terminalText(path).c_str(), audiofile::reasonFor(why).c_str());
    };
    hooks.moved = [](const std::string& path) {
        std::fprintf(stderr, "moved: recording continues at %s\n", terminalText(path).c_str());
    };
    const bool appAlone = appArg && deviceArg.empty();
    hooks.silence = [&name, appAlone, warnSilence](RecordSession::Silence silence) {
        if (appAlone && silence != RecordSession::Silence::Muted)
            std::fprintf(stderr, "%s has played nothing for %g s\n", terminalText(name).c_str(), warnSilence);
        else if (silence == RecordSession::Silence::Muted)
            std::fprintf(stderr, "\"%s\" is muted: the recording will be silent\n", terminalText(name).c_str());
        else
            std::fprintf(stderr, "TrayTape is recording silence from \"%s\"\n", terminalText(name).c_str());
    };
    hooks.every = [&check](std::chrono::milliseconds, std::function<void()> run) { check = std::move(run); };
    std::optional<std::chrono::steady_clock::time_point> soundCame;
    hooks.changed = [&](RecordSession::State state) {
        if (state != RecordSession::State::Recording)
            return;
        soundCame = std::chrono::steady_clock::now();
        std::fprintf(stderr, "Sound: recording into %s%s\n", terminalText(out).c_str(),
            seconds > 0 || stopAfterSilence > 0 ? "" : " (Ctrl+C stops)");
    };
    RecordSession session(recorder, std::move(hooks));
    AudioDeviceChoice& devices = session.devices();
    if (devices.inputs().empty())
        return fail("no input devices (is a sound server running?)");
    const auto device = devices.lookUp(deviceArg);
    if (!device)
        return fail("no such input device: " + deviceArg);
    name = device->deviceName() + (withSystemAudio ? " with system audio" : "");
    devices.setWithComputerSound(withSystemAudio);
    RecordRecipe recipe;
    recipe.sources = devices.sourcesOf(*device);
    if (appAlone) {
        name = *appArg;
        recipe.sources = {{RecordSource::Kind::Application, *appArg}};
    } else if (appArg) {
        name = *appArg + " with " + device->deviceName();
        recipe.sources.push_back({RecordSource::Kind::Application, *appArg});
    }
    recipe.format = format;
    recipe.destination = nameRecording({{}, out}, *recipe.format, std::time(nullptr));
    recipe.seconds = seconds;
    recipe.splitEvery = splitEvery;
    recipe.quality = quality;
    recipe.preRoll = preRoll;
    recipe.onSound = onSound;
    recipe.separate = separate;

    struct sigaction action { };
    action.sa_handler = onStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    session.setSilenceTimes(
        std::chrono::duration_cast<RecordSession::Clock::duration>(std::chrono::duration<double>(warnSilence)),
        std::chrono::minutes(10));
    const RecordSession::StartResult started = session.start(recipe);
    if (started == RecordSession::StartResult::NoDevice)
        return fail("cannot open input device: " + name);
    if (started == RecordSession::StartResult::DeviceGone)
        return fail("input device vanished: " + name);
    if (started != RecordSession::StartResult::Started)
        return fail("cannot create file: " + out + " (" + audiofile::reasonFor(session.failure()) + ")");
    if (onSound)
        std::fprintf(stderr, "Waiting for sound at %g dBFS from \"%s\" (Ctrl+C stops)\n", onSound->threshold,
            terminalText(name).c_str());
    else
        std::fprintf(stderr, "Recording \"%s\" into %s%s\n", terminalText(name).c_str(), terminalText(out).c_str(),
            seconds > 0 ? "" : " (Ctrl+C stops)");

    const auto began = std::chrono::steady_clock::now();
    bool silentDevice = false;
    double length = 0;
    while (!stopRequested.load()) {
        length = recorder.audioLength();
        if (session.reachedLength())
            break;
        // Each turn of the loop is at most 0.2 s from the last: the session's timer, a little late at worst.
        check();
        session.deliverCompleted();  // a split take's full parts, named as they are complete
        if (fault != RecordFault::None || (onSound && session.state() == RecordSession::State::Idle))
            break;
        // Armed, no audio is written until sound comes; the wait for the first frame starts then.
        if (onSound && !soundCame) {
            std::this_thread::sleep_for(RecordSession::kCheckInterval);
            continue;
        }
        const double elapsed
            = std::chrono::duration<double>(std::chrono::steady_clock::now() - soundCame.value_or(began)).count();
        if (elapsed > 5 && length == 0) {
            silentDevice = true;
            break;
        }
        // Seldom while far from the end, often near it: the exit follows the
        // last capture cycle closely.
        const double remaining = seconds > 0 ? seconds - length : 1.0;
        std::this_thread::sleep_for(std::chrono::duration<double>(std::clamp(remaining / 2, 0.002, 0.2)));
    }
    const bool soundNeverCame = onSound && !soundCame;
    if (session.state() != RecordSession::State::Idle)
        length = session.stop();  // with what was still on its way
    const double fileRate = recordedFormat(*recipe.format, quality, recorder.deviceRate()).mSampleRate;
    recorder.configDevice(nullptr);
    // The file is whole only once its completion has ended; a script may use it as soon as we exit.
    while (!session.waitForCompletion(std::chrono::seconds(1))) { }
    // The recorder counts frames at the device's rate; the file holds its own rate's.
    std::int64_t frames = 0;
    for (const std::string& file : splitEvery > 0 ? parts : std::vector<std::string>{out})
        frames += fileFrames(file).value_or(0);
    // A take silence ended was handed over inside the session's check: the files say how long it is.
    if (onSound)
        length = double(frames) / fileRate;

    std::printf("%lld\t%s\n", static_cast<long long>(frames), formatSeconds(length).c_str());
    if (soundNeverCame && fault == RecordFault::None)
        return fail("stopped before any sound came; no file was made: " + out, 3);
    if (closed == kAudioFileNothingRecordedError)
        return fail(silentDevice ? "no audio arrived from " + name + " in 5 s; no file was kept"
                                 : "stopped before any audio arrived; no file was kept: " + out,
            3);
    const bool writeFailed = fault == RecordFault::WriteFailed || closed != noErr;
    // A disk that failed loses what came after; the failure says so, not a slow disk.
    if (lostSeconds > 0 && !writeFailed)
        std::fprintf(stderr, "%s s of audio were lost (the disk was too slow)\n", formatSeconds(lostSeconds).c_str());
    if (fault == RecordFault::DeviceLost)
        return fail("input device vanished; the recording was stopped and kept (" + formatSeconds(length) + " s)", 3);
    if (fault == RecordFault::FileRemoved)
        return fail("the file was removed while recording: the take is lost", 3);
    if (writeFailed)
        return fail("writing " + out + " failed (" + audiofile::reasonFor(closed != noErr ? closed : session.failure())
                + "); kept what the file holds (" + formatSeconds(double(frames) / fileRate) + " s)",
            3);
    if (silentDevice)
        return fail("no audio arrived from " + name + " in 5 s", 3);
    return 0;
}

// The codec's name as FFmpeg gives it ("pcm_s32le", "aac", "pcm_alaw").
std::string codecName(const std::string& path)
{
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0)
        return "unknown";
    ffmpeg::InputFormatPtr input(raw);
    if (avformat_find_stream_info(raw, nullptr) < 0)
        return "unknown";
    const int stream = av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    return stream < 0 ? "unknown" : avcodec_get_name(raw->streams[stream]->codecpar->codec_id);
}

int info(const std::string& path)
{
    struct stat st { };
    if (::stat(path.c_str(), &st) != 0)
        return fail("no such file: " + path);
    if (!S_ISREG(st.st_mode))
        return fail("not a regular file: " + path);
    auto stream = AudioFileStream::streamForReadingAtPath(path);
    if (!stream)
        return fail("not a readable audio file: " + path);
    const AudioStreamBasicDescription format = stream->audioFileFormat();
    std::int64_t frames = 0;
    std::uint32_t size = sizeof frames;
    stream->audioFile()->getProperty(kExtAudioFileProperty_FileLengthFrames, &size, &frames);
    const double duration = format.mSampleRate > 0 ? double(frames) / format.mSampleRate : 0.0;
    const std::optional<SampleDepth> depth = sampleDepthOf(format);
    std::printf("%s\t%.0f\t%u\t%s\t%s\n", formatSeconds(duration).c_str(), format.mSampleRate, format.mChannelsPerFrame,
        codecName(path).c_str(), depth ? std::string(sampleDepthName(*depth)).c_str() : "-");
    return 0;
}

// A time option's value in seconds; false when it is not a finite number
// from 0 to `most`.
bool parseSeconds(const std::string& text, double most, double& out)
{
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return !text.empty() && end && *end == '\0' && std::isfinite(out) && out >= 0 && out <= most;
}

int exportRange(const std::vector<std::string>& args)
{
    constexpr double kMaxFade = 5.0;
    // Past this a time is a mistake, and its digits would fill a line.
    constexpr double kMaxSeconds = 1e9;
    std::optional<double> start, end;
    double fadeIn = 0, fadeOut = 0;
    std::optional<double> loudness;
    AudioQuality quality;
    std::vector<std::string> paths;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (optionsEnded) {
            paths.push_back(option);
        } else if (option == "--") {
            optionsEnded = true;
        } else if (option == "--start" || option == "--end" || option == "--fade-in" || option == "--fade-out") {
            if (i + 1 >= args.size())
                return usage();
            const bool fade = option == "--fade-in" || option == "--fade-out";
            double value = 0;
            if (!parseSeconds(args[++i], fade ? kMaxFade : kMaxSeconds, value))
                return fail(option
                        + (fade ? " needs seconds from 0 to 5, not \"" : " is out of range: needs seconds from 0 to 1e9, not \"")
                        + args[i] + "\"",
                    2);
            if (option == "--start")
                start = value;
            else if (option == "--end")
                end = value;
            else if (option == "--fade-in")
                fadeIn = value;
            else
                fadeOut = value;
        } else if (option == "--loudness") {
            if (i + 1 >= args.size())
                return usage();
            const std::string& text = args[++i];
            char* stop = nullptr;
            const double lufs = std::strtod(text.c_str(), &stop);
            if (text.empty() || !stop || *stop != '\0' || !(lufs >= -60 && lufs <= -5))
                return fail("--loudness needs LUFS from -60 to -5, not \"" + text + "\"", 2);
            loudness = lufs;
        } else if (isQualityOption(option) && i + 1 < args.size()) {
            int refusal = 0;
            if (!parseQuality(option, args[i + 1], quality, refusal))
                return refusal;
            ++i;
        } else if (!option.empty() && option[0] != '-') {
            paths.push_back(option);
        } else {
            return usage();
        }
    }
    if (paths.size() != 2)
        return usage();
    const std::string& in = paths[0];
    const std::string& out = paths[1];
    int refusal = 0;
    const AudioFormat* outFormat = formatOfOut(out, true, refusal);
    if (!outFormat)
        return refusal;
    if (const std::string refused = qualityRefusal(*outFormat, quality); !refused.empty())
        return fail(refused, 2);

    struct stat inStat {
    }, outStat{};
    if (::stat(in.c_str(), &inStat) != 0)
        return fail("no such file: " + in);
    if (!S_ISREG(inStat.st_mode))
        return fail("not a regular file: " + in);
    auto source = AudioFileStream::streamForReadingAtPath(in);
    if (!source)
        return fail("not a readable audio file: " + in);
    if (out == in
        || (::stat(out.c_str(), &outStat) == 0 && outStat.st_dev == inStat.st_dev && outStat.st_ino == inStat.st_ino))
        return fail("cannot export a file onto itself: " + out);
    if (::stat(out.c_str(), &outStat) == 0 && S_ISDIR(outStat.st_mode))
        return fail("is a folder, not a file: " + out);
    const AudioStreamBasicDescription format = source->audioFileFormat();
    std::int64_t frames = 0;
    std::uint32_t size = sizeof frames;
    source->audioFile()->getProperty(kExtAudioFileProperty_FileLengthFrames, &size, &frames);
    source->close();
    const double length = format.mSampleRate > 0 ? double(frames) / format.mSampleRate : 0.0;
    if (!start)
        start = 0.0;
    if (!end)
        end = length;
    if (*start >= length && length > 0)
        return fail("--start (" + formatSeconds(*start) + " s) is not before the end of " + in + " ("
                + formatSeconds(length) + " s)",
            2);
    if (*end <= *start)
        return fail("--end (" + formatSeconds(*end) + " s) is not after --start (" + formatSeconds(*start)
                + " s): nothing to export",
            2);

    // Cut short, the export leaves nothing behind: not its hidden file, not a partial one.
    audiofile::removeTemporariesOnQuitSignals();
    AudioConverter converter;
    converter.setSourceAudioPath(in);
    converter.setExportAudioPath(out);
    converter.setTrimStartTime(float(*start));
    converter.setTrimEndTime(float(*end));
    converter.setFadeInTime(float(fadeIn));
    converter.setFadeOutTime(float(fadeOut));
    converter.setAudioFromat(*outFormat);
    converter.setLoudnessTarget(loudness);
    converter.setQuality(quality);
    // The tray app records in another process: its settings name the take.
    converter.setRecordings({storedRecordingMark()});
    converter.startAudioConvert();
    const AudioConvertFailure failure = converter.failure();
    if (failure == AudioConvertFailure::None || failure == AudioConvertFailure::ReadFailed) {
        const std::int64_t written = converter.writtenFrames();
        std::printf("%lld\t%s\n", static_cast<long long>(written),
            formatSeconds(double(written) / converter.sampleRate()).c_str());
        if (loudness)
            std::printf("%s\n", converter.loudnessText().c_str());
    }
    if (failure == AudioConvertFailure::None)
        return 0;
    return fail(converter.failureText(),
        failure == AudioConvertFailure::ReadFailed       ? 3
            : failure == AudioConvertFailure::BeingRecorded ? 2
                                                            : 1);
}

// Whether the server lists the loopback driver's device among its inputs
// (the device choice names the computer's sound by it, listed or not).
bool listsSystemAudio(const std::vector<std::shared_ptr<AudioRecordMicDevice>>& inputs)
{
    return std::any_of(inputs.begin(), inputs.end(), [](const auto& d) { return d->deviceName() == kSystemAudioName; });
}

int systemAudio(const std::string& mode)
{
    AudioRecordDevice recorder;
    if (mode == "on") {
        const auto output = recorder.defaultOutputDevice();
        if (!output)
            return fail("no default output device (is a sound server running?)");
        recorder.connectSystemAudioRecord(true);
        if (!listsSystemAudio(recorder.allAudioInputDevices()))
            return fail(std::string("the sound server did not make \"") + kSystemAudioName + "\"");
        std::printf("\"%s\" carries \"%s\" (%s)\n", kSystemAudioName, terminalText(output->deviceName()).c_str(),
            terminalText(output->uniqueID().value_or("")).c_str());
        return 0;
    }
    // This process never connected, so the disconnect is sent as such: the
    // user means the device made by an earlier run.
    recorder.matchingServiceWithPath(std::string("kCaptureDriverPathKey"));
    const auto inputs = recorder.allAudioInputDevices();
    if (inputs.empty())
        return fail("no input devices (is a sound server running?)");
    if (listsSystemAudio(inputs))
        return fail(std::string("the sound server kept \"") + kSystemAudioName + "\"");
    std::printf("\"%s\" is off\n", kSystemAudioName);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    installPulsePlatform();
    std::vector<std::string> args(argv + 1, argv + argc);
    // FFmpeg's own lines would break the one-line errors; --verbose shows them.
    const bool verbose = !args.empty() && args.front() == "--verbose";
    if (verbose)
        args.erase(args.begin());
    av_log_set_level(verbose ? AV_LOG_ERROR : AV_LOG_QUIET);
    if (args.empty())
        return usage();
    const std::string command = args.front();
    args.erase(args.begin());
    // Asked for, help and the version go to standard output and succeed.
    if (command == "--help" || command == "-h" || command == "help") {
        printUsage(stdout);
        return 0;
    }
    if (command == "--version") {
        std::printf("traytape-cli %s\n", TRAYTAPE_VERSION);
        return 0;
    }
    if (const CommandHelp* help = helpFor(command); help && asksForHelp(args)) {
        std::printf("usage: %s\n\n%s", help->synopsis, detailsOf(*help).c_str());
        return 0;
    }
    if (command == "record")
        return record(args);
    if (command == "export")
        return exportRange(args);
    // The other commands take no options: "--" before their operands is let be.
    if (!args.empty() && args[0] == "--")
        args.erase(args.begin());
    if (command == "devices" && args.empty())
        return listDevices();
    if (command == "apps" && args.empty())
        return listApplications();
    if (command == "info" && args.size() == 1)
        return info(args[0]);
    if (command == "system-audio" && args.size() == 1 && (args[0] == "on" || args[0] == "off"))
        return systemAudio(args[0]);
    return usage();
}
