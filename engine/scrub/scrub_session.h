#pragma once

// One scrub session, as the command line and the window's Verify now both run
// it: the lock of every folder it scrubs, taken before the state is opened and
// held until the session ends (so that no two runs scrub a folder at once),
// the open state, and for each folder its scrub and the record it leaves. A
// stopped scrub's record is saved too, so that what it found shows.

#include "engine/scrub/allowance.h"
#include "engine/scrub/folder_lock.h"
#include "engine/scrub/scrub.h"
#include "engine/scrub/scrub_options.h"
#include "engine/scrub/state/scrub_state.h"

#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quelby {
class DigestPool;
}

namespace quelby::scrub {

class ScrubSession
{
public:
    // What opening the state tells along the way (see ScrubState::open).
    struct StateNotices
    {
        std::function<void(const std::string& movedTo)> movedAside;
        std::function<void(const std::string& folder, const std::string& path)> dropped;
    };

    // The error is the report's wording: a folder another run scrubs, a lock
    // file that could not be taken, or the state's own failure.
    static std::expected<ScrubSession, std::string> begin(const std::string& statePath,
                                                          const std::vector<std::string>& folders,
                                                          const StateNotices& notices);

    ScrubState& state() { return *state_; }

    // One folder's scrub and the record it leaves, not yet saved: the caller
    // may add to it (when the desktop was told) before save.
    struct FolderScrub
    {
        ScrubResult result;
        FolderRecord record;
    };
    std::expected<FolderScrub, std::string> scrub(const ScrubOptions& options, Allowance& allowance,
                                                  ScrubObserver& observer, DigestPool* pool);
    std::expected<void, std::string> save(const FolderRecord& record);

private:
    ScrubSession(std::vector<FolderLock> locks, std::unique_ptr<ScrubState> state)
        : locks_(std::move(locks)), state_(std::move(state))
    {
    }

    std::vector<FolderLock> locks_;
    std::unique_ptr<ScrubState> state_;
};

} // namespace quelby::scrub
