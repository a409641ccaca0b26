#include "Preferences/AppControl.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

#include <algorithm>

// QSettings() takes the organisation and application names that main sets on
// QCoreApplication, so every reader and writer meets in the same INI file.
QVariant AppControl::AppReadKeyValue(const QString& key, const QVariant& defaultValue)
{
    return QSettings().value(key, defaultValue);
}

void AppControl::AppWriteKeyValue(const QVariant& value, const QString& key)
{
    QSettings settings;
    // Any change rewrites the whole file, which a large library makes tens of
    // megabytes: the value already stored is not written again.
    if (settings.contains(key) && settings.value(key) == value)
        return;
    settings.setValue(key, value);
}

QString AppControl::getStrForTwoStr(std::int64_t n)
{
    const QString digits = QString::number(qlonglong(n));
    return n >= 10 ? digits : QStringLiteral("0") + digits;
}

QString AppControl::timeText(double seconds)
{
    constexpr double kLongest = 1e9;
    if (!(seconds > 0))  // also NaN
        seconds = 0;
    return getStringFromTimeValue(std::int64_t(std::min(seconds, kLongest)));
}

QString AppControl::tenthsText(double seconds)
{
    constexpr double kLongest = 1e9;
    if (!(seconds > 0))  // also NaN
        seconds = 0;
    // Counted in whole tenths: 59.96 s is 59.9, never "00:60.0".
    const auto tenths = std::int64_t(std::min(seconds, kLongest) * 10);
    const std::int64_t whole = tenths / 10;
    const QString tail = getStrForTwoStr(whole / 60 % 60) + QLatin1Char(':') + getStrForTwoStr(whole % 60)
        + QLatin1Char('.') + QString::number(qlonglong(tenths % 10));
    return whole >= 3600 ? QString::number(qlonglong(whole / 3600)) + QLatin1Char(':') + tail : tail;
}

QString AppControl::getStringFromTimeValue(std::int64_t t)
{
    t = std::max<std::int64_t>(t, 0);
    const std::int64_t hours = t / 3600;
    const std::int64_t rest = t - 3600 * hours;
    const std::int64_t minutes = rest / 60;
    const std::int64_t seconds = rest - 60 * minutes;
    return getStrForTwoStr(hours) + QLatin1Char(':') + getStrForTwoStr(minutes) + QLatin1Char(':')
        + getStrForTwoStr(seconds);
}

QString AppControl::defaultSaveAudioPath()
{
    const QString music = QDir::homePath() + QStringLiteral("/Music");
    const QFileInfo info(music);
    const QString resolved = info.exists() ? info.canonicalFilePath() : music;
    return resolved + QStringLiteral("/org.traytape.TrayTape");
}
