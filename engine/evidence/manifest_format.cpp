#include "engine/evidence/manifest_format.h"

#include "engine/run/time_stamp.h"

#include <algorithm>

namespace quelby {

namespace {

constexpr std::string_view kStampPrefix = "#time ";
constexpr std::string_view kDamagedPrefix = "#damaged ";
constexpr std::size_t kDigestSize = 32;

int hexValue(char digit)
{
    if (digit >= '0' && digit <= '9') {
        return digit - '0';
    }
    if (digit >= 'a' && digit <= 'f') {
        return digit - 'a' + 10;
    }
    if (digit >= 'A' && digit <= 'F') {
        return digit - 'A' + 10;
    }
    return -1;
}


bool usablePath(std::string_view path)
{
    return !path.empty() && path.find('\0') == std::string_view::npos;
}

// Splits "FIELD" + ' ' + marker + "PATH" at the first space; none when the
// line lacks that shape. The marker is ' ', or '*' when binaryAllowed.
struct Fields
{
    std::string_view field;
    std::string_view path;
};

std::optional<Fields> splitFields(std::string_view rest, bool binaryAllowed)
{
    const auto space = rest.find(' ');
    if (space == 0 || space == std::string_view::npos || space + 2 > rest.size()) {
        return std::nullopt;
    }
    const char marker = rest[space + 1];
    if (marker != ' ' && !(binaryAllowed && marker == '*')) {
        return std::nullopt;
    }
    return Fields{rest.substr(0, space), rest.substr(space + 2)};
}

// The raw path of an entry, when it is usable.
std::optional<std::string> entryPath(std::string_view written, bool escaped)
{
    std::optional<std::string> path =
        escaped ? unescapedPath(written) : std::optional<std::string>(written);
    if (!path || !usablePath(*path)) {
        return std::nullopt;
    }
    return path;
}

ManifestLine parsedStampLine(std::string_view content, ManifestLine line,
                             std::string_view prefix = kStampPrefix,
                             ManifestLineKind kind = ManifestLineKind::stamp)
{
    const auto fields = splitFields(content.substr(prefix.size()), false);
    if (!fields) {
        return line;
    }
    const bool escaped = fields->path.find('\\') != std::string_view::npos;
    auto path = entryPath(fields->path, escaped);
    if (!path) {
        return line;
    }
    line.kind = kind;
    line.path = std::move(*path);
    if (parsedTimeStamp(fields->field)) {
        line.value = Bytes(fields->field);
    }
    return line;
}

ManifestLine parsedDigestLine(std::string_view content, ManifestLine line)
{
    const bool escaped = content.starts_with('\\');
    if (escaped) {
        content.remove_prefix(1);
    }
    const auto fields = splitFields(content, true);
    if (!fields) {
        return line;
    }
    auto path = entryPath(fields->path, escaped);
    if (!path) {
        return line;
    }
    line.kind = ManifestLineKind::digest;
    line.path = std::move(*path);
    line.value = digestFromHex(fields->field);
    return line;
}

} // namespace

std::string lowerHex(std::string_view bytes)
{
    constexpr std::string_view kDigits = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (const char byte : bytes) {
        const auto value = static_cast<unsigned char>(byte);
        hex += kDigits[value >> 4];
        hex += kDigits[value & 0xf];
    }
    return hex;
}

ManifestLine parseManifestLine(std::string_view text)
{
    ManifestLine line;
    line.text = std::string(text);
    std::string_view content = text;
    if (content.ends_with('\r')) {
        content.remove_suffix(1);
    }
    if (content.empty()) {
        line.kind = ManifestLineKind::blank;
        return line;
    }
    if (content == kManifestHeader) {
        line.kind = ManifestLineKind::header;
        return line;
    }
    if (content.starts_with(kStampPrefix)) {
        return parsedStampLine(content, std::move(line));
    }
    if (content.starts_with(kDamagedPrefix)) {
        return parsedStampLine(content, std::move(line), kDamagedPrefix, ManifestLineKind::damaged);
    }
    if (content.starts_with('#')) {
        line.kind = ManifestLineKind::comment;
        return line;
    }
    return parsedDigestLine(content, std::move(line));
}

std::optional<std::string> manifestDigestLine(std::string_view path, std::string_view digest)
{
    if (digest.size() != kDigestSize || !usablePath(path)) {
        return std::nullopt;
    }
    const bool escaped = pathNeedsEscape(path);
    std::string line;
    line.reserve(path.size() + 2 * kDigestSize + 4);
    if (escaped) {
        line += '\\';
    }
    line += lowerHex(digest);
    line += "  ";
    line += escaped ? escapedPath(path) : std::string(path);
    line += '\n';
    return line;
}

namespace {

std::optional<std::string> ownLine(std::string_view prefix, std::string_view path,
                                   std::string_view stamp)
{
    if (!parsedTimeStamp(stamp) || !usablePath(path)) {
        return std::nullopt;
    }
    std::string line(prefix);
    line += stamp;
    line += "  ";
    line += escapedPath(path);
    line += '\n';
    return line;
}

} // namespace

std::optional<std::string> manifestDamagedLine(std::string_view path, std::string_view stamp)
{
    return ownLine(kDamagedPrefix, path, stamp);
}

std::optional<std::string> manifestStampLine(std::string_view path, std::string_view stamp)
{
    return ownLine(kStampPrefix, path, stamp);
}

bool walkOrderLess(std::string_view a, std::string_view b)
{
    const std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        if (a[i] == b[i]) {
            continue;
        }
        if (a[i] == '/') {
            return true;
        }
        if (b[i] == '/') {
            return false;
        }
        return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
    }
    return a.size() < b.size();
}

bool pathNeedsEscape(std::string_view path)
{
    return path.find_first_of("\\\n\r") != std::string_view::npos;
}

std::string escapedPath(std::string_view path)
{
    std::string escaped;
    escaped.reserve(path.size());
    for (const char byte : path) {
        switch (byte) {
        case '\\':
            escaped += "\\\\";
            break;
        case '\n':
            escaped += "\\n";
            break;
        case '\r':
            escaped += "\\r";
            break;
        default:
            escaped += byte;
        }
    }
    return escaped;
}

std::optional<std::string> unescapedPath(std::string_view escaped)
{
    std::string path;
    path.reserve(escaped.size());
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] != '\\') {
            path += escaped[i];
            continue;
        }
        if (++i == escaped.size()) {
            return std::nullopt;
        }
        switch (escaped[i]) {
        case '\\':
            path += '\\';
            break;
        case 'n':
            path += '\n';
            break;
        case 'r':
            path += '\r';
            break;
        default:
            return std::nullopt;
        }
    }
    return path;
}

std::optional<Bytes> digestFromHex(std::string_view hex)
{
    if (hex.size() != 2 * kDigestSize) {
        return std::nullopt;
    }
    Bytes digest(kDigestSize, '\0');
    for (std::size_t i = 0; i < kDigestSize; ++i) {
        const int high = hexValue(hex[2 * i]);
        const int low = hexValue(hex[2 * i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        digest[i] = static_cast<char>(high * 16 + low);
    }
    return digest;
}

} // namespace quelby
