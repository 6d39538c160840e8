// Feeds arbitrary bytes to the parity set reader, as one set file or split
// into a set and a volume at a point the first byte chooses, and checks what
// the rebuild relies on: a set that reads names only plain files of its
// folder, once each; its block size and counts are within the format's
// bounds; each file's checksums fit its length; and every recovery slice
// located can be read whole.

#include "engine/coding/reed_solomon.h"
#include "engine/evidence/parity_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace quelby::parity;

void require(bool holds)
{
    if (!holds) {
        std::abort();
    }
}

int memoryFile(const std::uint8_t* data, std::size_t size)
{
    const int fd = ::memfd_create("part", MFD_CLOEXEC);
    require(fd >= 0);
    require(::write(fd, data, size) == static_cast<ssize_t>(size));
    return fd;
}

bool plainName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

void checkSet(const ParitySet& set, const std::vector<int>& parts)
{
    require(set.sliceSize > 0 && set.sliceSize % 4 == 0 && set.sliceSize <= (1u << 30));
    std::set<std::string> names;
    std::uint64_t slices = 0;
    for (const auto& file : set.files) {
        require(plainName(file.name) && names.insert(file.name).second);
        const std::uint64_t count = (file.length + set.sliceSize - 1) / set.sliceSize;
        require(file.slices.empty() || file.slices.size() == count);
        slices += count;
    }
    require(slices <= quelby::rs::kMaxInputSlices);
    std::vector<std::uint8_t> data(set.sliceSize);
    for (std::size_t i = 0; i < set.recovery.size(); ++i) {
        const auto& slice = set.recovery[i];
        require(i == 0 || set.recovery[i - 1].exponent < slice.exponent);
        require(slice.exponent <= quelby::rs::kMaxExponent && slice.part < parts.size());
        require(readRecoveryData(parts, slice, 0, set.sliceSize, data.data()).has_value());
    }
    for (const auto& record : set.covered) {
        require(plainName(record.name) && record.modifiedNanoseconds < 1'000'000'000);
    }
    require(set.writtenByQuelby || set.covered.empty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    // The first byte, times 4, is where a second part starts; 0 for one part.
    const std::size_t split = std::min<std::size_t>(std::size_t{data[0]} * 4, size - 1);
    std::vector<int> parts;
    if (split == 0) {
        parts.push_back(memoryFile(data + 1, size - 1));
    } else {
        parts.push_back(memoryFile(data + 1, split));
        parts.push_back(memoryFile(data + 1 + split, size - 1 - split));
    }
    const auto set = readSet(parts);
    if (set) {
        checkSet(*set, parts);
    } else {
        require(!set.error().empty());
    }
    for (const int fd : parts) {
        ::close(fd);
    }
    return 0;
}
