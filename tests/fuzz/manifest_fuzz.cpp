// Feeds arbitrary bytes to the manifest's line reader, a line at a time as a
// run reads a manifest, and checks what a rewrite relies on: every entry
// writes back to a line that reads as the same entry, and the walk order is
// the order of the paths' components.

#include "engine/evidence/manifest_format.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace {

using namespace quelby;

void require(bool holds)
{
    if (!holds) {
        std::abort();
    }
}

std::vector<std::string_view> components(std::string_view path)
{
    std::vector<std::string_view> parts;
    for (std::size_t slash; (slash = path.find('/')) != std::string_view::npos;) {
        parts.push_back(path.substr(0, slash));
        path.remove_prefix(slash + 1);
    }
    parts.push_back(path);
    return parts;
}

// The walk's own order, said the long way: component by component.
bool componentsLess(std::string_view a, std::string_view b)
{
    const auto left = components(a);
    const auto right = components(b);
    return std::lexicographical_compare(left.begin(), left.end(), right.begin(), right.end());
}

void checkLine(std::string_view text)
{
    const ManifestLine line = parseManifestLine(text);
    require(line.text == text);
    require(parseManifestLine(line.text) == line);
    if (line.kind != ManifestLineKind::digest && line.kind != ManifestLineKind::stamp) {
        require(line.path.empty() && !line.value);
        return;
    }
    require(!line.path.empty() && line.path.find('\0') == std::string::npos);
    if (!line.value) {
        return; // malformed: a rewrite keeps the text as it is
    }
    const auto written = line.kind == ManifestLineKind::digest
                             ? manifestDigestLine(line.path, *line.value)
                             : manifestStampLine(line.path, *line.value);
    require(written && written->find('\n') == written->size() - 1);
    require(written->find('\r') == std::string::npos);
    const ManifestLine again = parseManifestLine(std::string_view(*written).substr(0, written->size() - 1));
    require(again.kind == line.kind && again.path == line.path && again.value == line.value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::vector<std::string_view> lines;
    for (std::string_view rest = bytes; !rest.empty();) {
        const auto end = std::min(rest.find('\n'), rest.size());
        lines.push_back(rest.substr(0, end));
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    for (const auto line : lines) {
        checkLine(line);
    }
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        const auto a = lines[i];
        const auto b = lines[i + 1];
        require(walkOrderLess(a, b) == componentsLess(a, b));
        require(!(walkOrderLess(a, b) && walkOrderLess(b, a)));
    }
    return 0;
}
