#pragma once

// A scrub that heals: each file it finds damaged (its digest differs and its
// verdict is damage) is rebuilt from its folder's parity set at once, proven
// by its stored digest and put back as repair puts it back. What cannot be
// healed stays a problem, its outcome untouched.

#include "engine/read/file_digest.h"
#include "engine/repair/folder_parity.h"
#include "engine/run/run.h"
#include "engine/scrub/allowance.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace quelby::scrub {

class Healer
{
public:
    Healer(const RunOptions& run, Allowance& allowance, std::function<bool()> stop);

    // Heals the file of a damaged outcome and makes the outcome say so;
    // false, with the outcome as it was, when it is no damage or cannot be healed.
    bool heal(EntryOutcome& outcome);
    // Files healed so far.
    std::int64_t healed() const { return healed_; }

private:
    const FolderParity* parityOf(const std::string& relativeFolder, int folder);

    const RunOptions& run_;
    Allowance& allowance_;
    std::function<bool()> stop_;
    std::optional<ReadBuffer> buffer_;
    std::optional<std::string> parityFolder_;
    FileDescriptor folder_;
    std::optional<FolderParity> parity_;
    std::int64_t healed_ = 0;
};

} // namespace quelby::scrub
