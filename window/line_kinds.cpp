#include "window/line_kinds.h"

#include <cctype>

namespace {

constexpr std::string_view kCross = "\xE2\x9D\x8C";               // ❌
constexpr std::string_view kWarning = "\xE2\x9A\xA0\xEF\xB8\x8F"; // ⚠️
constexpr std::string_view kTick = "\xE2\x9C\x85";                // ✅
constexpr std::string_view kDigest = "Digest ";
constexpr std::string_view kDigestFor = " for ";

} // namespace

LineKind lineKind(std::string_view line)
{
    if (line.starts_with(kCross)) {
        return LineKind::failure;
    }
    if (line.starts_with(kWarning)) {
        return LineKind::warning;
    }
    if (line.starts_with(kTick)) {
        return LineKind::success;
    }
    // "Digest " and a decimal number, then " for ": the summaries never start so.
    if (line.starts_with(kDigest)) {
        std::size_t at = kDigest.size();
        const std::size_t digits = at;
        while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at]))) {
            ++at;
        }
        if (at > digits && line.substr(at).starts_with(kDigestFor)) {
            return LineKind::digest;
        }
    }
    return LineKind::other;
}
