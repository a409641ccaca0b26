#include "AudioRecord/RecordRecipe.h"

#include <sys/stat.h>

std::string RecordDestination::path() const
{
    if (folder.empty())
        return name;
    return folder.back() == '/' ? folder + name : folder + '/' + name;
}

RecordDestination nameRecording(RecordDestination asked, const AudioFormat& format, std::time_t startedAt)
{
    if (!asked.name.empty())
        return asked;
    std::tm local{};
    ::localtime_r(&startedAt, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%y_%m_%d %H_%M_%S", &local);
    const std::string base = std::string(stamp) + "_Audio";
    const std::string extension(format.extension());
    asked.name = base + '.' + extension;
    struct stat st { };
    for (int n = 2; ::stat(asked.path().c_str(), &st) == 0; ++n)
        asked.name = base + " (" + std::to_string(n) + ")." + extension;
    return asked;
}
