#pragma once

// Which entries a walk leaves out (--exclude PATTERN, --exclude-from FILE).
// Each pattern is a shell pattern as fnmatch(3) reads it with FNM_PATHNAME,
// so "*" never crosses "/", and without FNM_PERIOD, so "*" also matches names
// that start with a dot. Trailing slashes are removed first and make the
// pattern match folders only ("cache/": every folder named cache). A pattern
// that then still holds a "/" is matched against the entry's path relative to
// FOLDER, after leading slashes are removed ("/cache": FOLDER/cache only,
// "photos/*.tmp"); any other pattern against each entry's own name, which for
// a link is the link's name, not its target's.

#include "engine/tree/list_file.h"

#include <cstddef>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quelby {

class Exclusions
{
public:
    Exclusions() = default;
    explicit Exclusions(std::span<const std::string> patterns);

    // relativePath is the entry's path below FOLDER without a leading slash
    // ("sub/cache"); name is its last part ("cache"). Both are raw bytes.
    bool excludes(std::string_view relativePath, std::string_view name, bool isFolder) const;
    bool empty() const { return patterns_.empty(); }

private:
    struct Pattern
    {
        std::string text;
        bool foldersOnly = false;
        bool byPath = false;
    };
    std::vector<Pattern> patterns_;
};

// The most an --exclude-from file may hold: far more patterns than anyone
// writes, and little enough that a hostile file cannot take the memory.
inline constexpr std::size_t kPatternFileLimit = 1 << 20;

// The patterns of an --exclude-from file ("-": standard input), read as
// readListFile reads a list: one a line; empty lines, lines of spaces only
// and lines starting with "#" are skipped.
std::expected<std::vector<std::string>, ListReadFailure>
patternsFromFile(const std::string& path, const std::function<bool()>& stopRequested = {});

} // namespace quelby
