// The one door to the persistent settings, and the time text every window
// shows. Class operations only; main thread.
#pragma once

#include <QString>
#include <QVariant>

#include <cstdint>

namespace SettingsKey {
inline const QString OpenAppShowHelpWnd = QStringLiteral("OpenAppShowHelpWnd");
inline const QString OpenAppRecordingPanel = QStringLiteral("OpenAppRecordingPanel");
inline const QString AudioDeviceNSNumberChoose = QStringLiteral("AudioDeviceNSNumberChoose");
inline const QString AudioFormatNSNumberKey = QStringLiteral("AudioFormatNSNumberKey");
inline const QString AudioItemData = QStringLiteral("AudioItemData");
// The chosen input's unique identifier, so that a list in another order, or
// without that device, cannot silently turn the stored index into another input.
inline const QString AudioDeviceUniqueID = QStringLiteral("AudioDeviceUniqueID");
// The save folder the user last picked.
inline const QString SaveAudioPath = QStringLiteral("SaveAudioPath");
// Whether the computer's sound is mixed into the chosen input (a bool, false by default).
inline const QString RecordWithSystemAudio = QStringLiteral("RecordWithSystemAudio");
// Whether a mixed recording also keeps each source in a file of its own (a bool, false by default).
inline const QString RecordSeparateSources = QStringLiteral("RecordSeparateSources");
// The folder of the last export, where the export dialog opens next.
inline const QString ExportAudioFolder = QStringLiteral("ExportAudioFolder");
// Whether an export is brought to a loudness (a bool, false by default), and
// which, in LUFS (a double, -16 by default).
inline const QString ExportNormaliseLoudness = QStringLiteral("ExportNormaliseLoudness");
inline const QString ExportLoudnessTarget = QStringLiteral("ExportLoudnessTarget");
// The mark of the recording running now (platform/InterruptedRecording.h).
// Still set at start-up, it names a recording a crash cut off.
inline const QString RecordingInProgress = QStringLiteral("RecordingInProgress");
// Whether a recording the user stops is shown in the file manager (a bool, true by default).
inline const QString RevealNewRecording = QStringLiteral("RevealNewRecording");
inline const QString ListenWhenIdle = QStringLiteral("ListenWhenIdle");
// Seconds of audio in each part of a recording (an int, 0 by default: one file).
inline const QString SplitEverySeconds = QStringLiteral("SplitEverySeconds");
// The recording's choices within its format (AudioQuality), each absent or 0
// for the format's own: the sample rate (-1 the source's), the channels,
// the bit depth ("16", "24", "32", "32f") and the bit rate in bits per second.
// A choice the format of the moment does not take is left out of its recordings.
inline const QString RecordSampleRate = QStringLiteral("RecordSampleRate");
inline const QString RecordChannels = QStringLiteral("RecordChannels");
inline const QString RecordBitDepth = QStringLiteral("RecordBitDepth");
inline const QString RecordBitRate = QStringLiteral("RecordBitRate");
// Seconds heard before Record that a recording begins with (0 to 60, 0 by default).
inline const QString PreRollSeconds = QStringLiteral("PreRollSeconds");
// Record When Sound Starts: the level that starts a take, in dBFS (-60 to 0,
// -40 by default), and the seconds below it that end the take (0 for never, 5 by default).
inline const QString SoundStartLevel = QStringLiteral("SoundStartLevel");
inline const QString SoundStopSilence = QStringLiteral("SoundStopSilence");
}  // namespace SettingsKey

class AppControl {
public:
    AppControl() = delete;

    static QVariant AppReadKeyValue(const QString& key, const QVariant& defaultValue);
    static void AppWriteKeyValue(const QVariant& value, const QString& key);
    static QString getStrForTwoStr(std::int64_t n);
    static QString getStringFromTimeValue(std::int64_t t);
    // "hh:mm:ss" of whole seconds, from any stored or measured length: one
    // that is no number or below zero shows 0, one past 10^9 s shows 10^9 s
    // (converting a larger float to an integer is undefined).
    static QString timeText(double seconds);
    // "mm:ss.t" (tenths cut, not rounded, so a position never reads past its
    // end), for positions and trims a user sets to a fraction of a second;
    // an hour or more reads "h:mm:ss.t". The same clamps as timeText().
    static QString tenthsText(double seconds);
    // Where recordings go until the user picks a folder: home + "Music",
    // symbolic links resolved, + the application identifier.
    static QString defaultSaveAudioPath();
};
