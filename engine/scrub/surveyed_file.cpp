#include "engine/scrub/surveyed_file.h"

namespace quelby::scrub {

std::int64_t nanoseconds(const timespec& time)
{
    return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

std::string relativeTo(const std::string& folder, const std::string& path)
{
    const std::size_t prefix = folder == "/" ? 1 : folder.size() + 1;
    return path.substr(prefix);
}

std::string joined(const std::string& folder, std::string_view relative)
{
    std::string path = folder;
    if (path != "/") {
        path += '/';
    }
    path += relative;
    return path;
}

} // namespace quelby::scrub
