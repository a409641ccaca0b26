#include "AudioRecord/RecordRecipe.h"

#include <sys/stat.h>

#include <cstdio>

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
    // Taken too when an earlier split take's first part has it, or an earlier take's input.
    const auto taken = [&st](const RecordDestination& d) {
        return ::stat(d.path().c_str(), &st) == 0 || ::stat(partOf(d, 1).path().c_str(), &st) == 0
            || ::stat(sourceOf(d, kInputSource).path().c_str(), &st) == 0;
    };
    for (int n = 2; taken(asked); ++n)
        asked.name = base + " (" + std::to_string(n) + ")." + extension;
    return asked;
}

namespace {

// Where the extension begins: the name may carry its folder (a path given on
// the command line); a leading dot is no extension's.
std::size_t stemEnd(const std::string& name)
{
    const std::size_t slash = name.rfind('/');
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos || dot <= base ? name.size() : dot;
}

}  // namespace

RecordDestination partOf(RecordDestination take, int part)
{
    char number[16];
    std::snprintf(number, sizeof number, " %03d", part);
    take.name.insert(stemEnd(take.name), number);
    return take;
}

RecordDestination sourceOf(RecordDestination take, const std::string& source)
{
    take.name.insert(stemEnd(take.name), "." + source);
    return take;
}
