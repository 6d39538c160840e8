#include "engine/transfer/sums_list.h"

#include "engine/evidence/manifest_format.h"

namespace quelby {

namespace {

constexpr std::string_view kBsdPrefix = "SHA256 (";
constexpr std::string_view kBsdSeparator = ") = ";

using Parsed = std::expected<std::optional<ListedDigest>, std::string>;

Parsed listed(std::string_view writtenPath, bool escaped, std::string_view hex)
{
    auto path = escaped ? unescapedPath(writtenPath) : std::optional<std::string>(writtenPath);
    if (!path) {
        return std::unexpected("the name holds a backslash other than \\\\, \\n or \\r");
    }
    if (path->empty()) {
        return std::unexpected("the line names no file");
    }
    if (path->find('\0') != std::string::npos) {
        return std::unexpected("the name holds a NUL byte");
    }
    auto digest = digestFromHex(hex);
    if (!digest) {
        return std::unexpected("the digest is not 64 hex digits");
    }
    return ListedDigest{std::move(*path), std::move(*digest)};
}

// "SHA256 (" is already behind; the name runs to the last ") = ", since the
// digest after it never holds one.
Parsed bsdLine(std::string_view rest, bool escaped)
{
    const auto separator = rest.rfind(kBsdSeparator);
    if (separator == std::string_view::npos) {
        return std::unexpected("not a SHA-256 line");
    }
    return listed(rest.substr(0, separator), escaped,
                  rest.substr(separator + kBsdSeparator.size()));
}

// The digest runs to the first space; then a space (text) or '*' (binary).
Parsed gnuLine(std::string_view rest, bool escaped)
{
    const auto space = rest.find(' ');
    if (space == 0 || space == std::string_view::npos || space + 1 == rest.size() ||
        (rest[space + 1] != ' ' && rest[space + 1] != '*')) {
        return std::unexpected("not a SHA-256 line");
    }
    return listed(rest.substr(space + 2), escaped, rest.substr(0, space));
}

} // namespace

std::expected<std::optional<ListedDigest>, std::string> parseSumsLine(std::string_view line)
{
    if (line.ends_with('\r')) {
        line.remove_suffix(1);
    }
    if (line.find_first_not_of(" \t") == std::string_view::npos || line.starts_with('#')) {
        return std::nullopt;
    }
    const bool escaped = line.starts_with('\\');
    if (escaped) {
        line.remove_prefix(1);
    }
    if (line.starts_with(kBsdPrefix)) {
        return bsdLine(line.substr(kBsdPrefix.size()), escaped);
    }
    return gnuLine(line, escaped);
}

} // namespace quelby
