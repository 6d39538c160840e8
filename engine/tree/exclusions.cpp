#include "engine/tree/exclusions.h"

#include <fnmatch.h>

namespace quelby {

Exclusions::Exclusions(std::span<const std::string> patterns)
{
    for (std::string_view text : patterns) {
        Pattern pattern;
        while (text.ends_with('/')) {
            text.remove_suffix(1);
            pattern.foldersOnly = true;
        }
        pattern.byPath = text.find('/') != std::string_view::npos;
        while (text.starts_with('/')) {
            text.remove_prefix(1);
        }
        pattern.text = text;
        patterns_.push_back(std::move(pattern));
    }
}

bool Exclusions::excludes(std::string_view relativePath, std::string_view name, bool isFolder) const
{
    if (patterns_.empty()) {
        return false;
    }
    // fnmatch needs terminated strings.
    const std::string path(relativePath);
    const std::string ownName(name);
    for (const Pattern& pattern : patterns_) {
        if (pattern.foldersOnly && !isFolder) {
            continue;
        }
        const std::string& subject = pattern.byPath ? path : ownName;
        if (::fnmatch(pattern.text.c_str(), subject.c_str(), FNM_PATHNAME) == 0) {
            return true;
        }
    }
    return false;
}

std::expected<std::vector<std::string>, ListReadFailure>
patternsFromFile(const std::string& path, const std::function<bool()>& stopRequested)
{
    const auto contents = readListFile(path, kPatternFileLimit, stopRequested);
    if (!contents) {
        return std::unexpected(contents.error());
    }
    std::vector<std::string> patterns;
    std::string_view rest = *contents;
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.find_first_not_of(' ') != std::string_view::npos && !line.starts_with('#')) {
            patterns.emplace_back(line);
        }
    }
    return patterns;
}

} // namespace quelby
