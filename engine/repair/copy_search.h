#pragma once

// Finding the bytes a damaged file should hold. Three steps, each tried in
// every copy in the order given before the next: the same relative path; a
// file whose stored digest is the one wanted; a file of the same size (bit
// rot keeps it). Within a step, candidates go in walk order. The first
// candidate whose contents digest to the wanted value, read in full, is the
// one: an attribute or a size only says where to look.

#include "engine/repair/copy_folder.h"

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quelby {

struct ProvenCopy
{
    FileDescriptor file; // the very file whose digest was proven, at any offset
    std::string path;    // raw bytes, as the report shows it before escaping
    std::int64_t size = 0; // the bytes the proof read: all a repair may copy
};

class CopySearch
{
public:
    CopySearch(std::vector<CopyFolder> copies, const ReadBuffer& buffer, DigestBackEnd backEnd,
               std::function<bool()> stopRequested);

    // None when no copy holds those bytes.
    std::expected<std::optional<ProvenCopy>, Stopped>
    find(std::string_view relativePath, const Digest& wanted, std::int64_t size);

    // Files of the copies digested so far, each counted once.
    std::int64_t filesHashed() const { return filesHashed_; }

private:
    enum class Proof
    {
        proven,
        refuted, // another digest, or a file that could not be read
        stopped
    };
    // The size read is set when the file is proven.
    Proof prove(const FileDescriptor& file, const Digest& wanted, std::optional<Digest>* digested,
                std::int64_t* size);
    std::expected<std::optional<ProvenCopy>, Stopped>
    firstIndexed(CopyFolder& copy, const std::vector<std::uint32_t>& candidates,
                 std::string_view skippedPath, const Digest& wanted);

    std::vector<CopyFolder> copies_;
    const ReadBuffer& buffer_;
    DigestBackEnd backEnd_;
    std::function<bool()> stopRequested_;
    std::int64_t filesHashed_ = 0;
};

} // namespace quelby
