// Feeds arbitrary bytes to import's list reader, a line at a time, and checks
// that every digest it takes reads back the same from the lines an export
// writes of it, in the GNU and in the BSD form.

#include "engine/evidence/manifest_format.h"
#include "engine/transfer/sums_list.h"
#include "tests/support/hex.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

using namespace quelby;

void require(bool holds)
{
    if (!holds) {
        std::abort();
    }
}

void requireReadsAs(std::string_view line, const ListedDigest& listed)
{
    const auto again = parseSumsLine(line);
    require(again && *again && **again == listed);
}

void checkLine(std::string_view line)
{
    const auto parsed = parseSumsLine(line);
    if (!parsed) {
        require(!parsed.error().empty());
        return;
    }
    if (!*parsed) {
        require(line.find_first_not_of(" \t\r") == std::string_view::npos || line.starts_with('#'));
        return;
    }
    const ListedDigest& listed = **parsed;
    require(!listed.path.empty() && listed.path.find('\0') == std::string::npos);
    require(listed.digest.size() == 32);

    const auto gnu = manifestDigestLine(listed.path, listed.digest);
    require(gnu.has_value());
    requireReadsAs(std::string_view(*gnu).substr(0, gnu->size() - 1), listed);
    const bool escaped = pathNeedsEscape(listed.path);
    const std::string bsd = (escaped ? "\\SHA256 (" : "SHA256 (") +
                            (escaped ? escapedPath(listed.path) : listed.path) + ") = " +
                            test::hex(listed.digest);
    requireReadsAs(bsd, listed);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    while (!rest.empty()) {
        const auto end = std::min(rest.find('\n'), rest.size());
        checkLine(rest.substr(0, end));
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    return 0;
}
