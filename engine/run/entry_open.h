#pragma once

// Opens one listed entry so that the object whose type was checked is the
// object that is read. A name is never opened for reading unless it is known
// to be a regular file: a name listed as a file is opened without following
// links, so a link swapped in fails instead of leading elsewhere, and a link's
// target is first opened as a mere path, checked, and only then reopened for
// reading. FIFOs, sockets, devices and files of the kernel's pseudo file
// systems (whose reads have side effects) are never read.

#include "engine/platform/sys.h"
#include "engine/store/evidence_store.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <unordered_map>

namespace quelby {

// One entry of a listing, handed from the walk to whoever visits it.
struct EntryToVisit
{
    std::shared_ptr<const FileDescriptor> folder; // the folder that lists it
    std::string name;
    std::string path; // raw bytes, as shown (escaped) in the report
    bool listedAsLink = false;
    EvidenceSlot evidence; // what a store keyed by path found for it
    ino_t listedInode = 0; // as the folder's listing gave it; 0 when unknown
    bool besideParitySet = false; // Proofs::besideSets: its folder holds a set
};

// Remembers, per device, whether it belongs to a kernel pseudo file system.
// The digest workers of a walk share it. The device met first, which holds
// almost every file, is answered without the lock: its answer is written
// once, under the lock, before firstDevice_ publishes it (release); a reader
// that sees the device (acquire) sees the answer. The others wait in known_.
class PseudoFileSystems
{
public:
    PseudoFileSystems() = default;
    // What is known moves, before any worker uses either object; each keeps a lock of its own.
    PseudoFileSystems(PseudoFileSystems&& other) noexcept { *this = std::move(other); }
    PseudoFileSystems& operator=(PseudoFileSystems&& other) noexcept
    {
        known_ = std::move(other.known_);
        firstIsPseudo_ = other.firstIsPseudo_;
        firstDevice_.store(other.firstDevice_.load(std::memory_order_relaxed),
                           std::memory_order_relaxed);
        return *this;
    }

    bool contains(dev_t device, int fd);

private:
    // No device has this number: the kernel's device numbers take 32 bits.
    static constexpr dev_t kNoDevice = ~dev_t{0};

    std::atomic<dev_t> firstDevice_{kNoDevice};
    bool firstIsPseudo_ = false; // written before firstDevice_ is set, never after
    std::mutex mutex_;
    std::unordered_map<dev_t, bool> known_;
};

// What the chosen folder's tree allows.
struct TreeRules
{
    // The chosen folder's real path; empty when it could not be found out.
    std::string realFolder;
    // Tag and Retag: a link's target must lie beneath the folder.
    bool targetsBeneathFolder = false;
    // Every name, not only a link's target, is opened as a mere path first
    // and reopened for reading only as a regular file: a tree someone else
    // controls (repair's copies) may put a FIFO or a device in a file's place.
    bool pathFirst = false;
};

inline constexpr std::string_view kLinkLeadsOutside = "the link leads outside the folder";

struct OpenedEntry
{
    enum class Kind
    {
        file,    // a regular file, open for reading
        special, // no regular file: counted, never read
        folder,  // a link to a folder: skipped and not counted
        outside, // a link to a file outside the folder, where that is not allowed
        failed   // the entry could not be opened; reason says why
    };
    Kind kind = Kind::failed;
    bool throughLink = false;
    FileDescriptor file;
    struct stat info = {}; // of the open file
    std::string reason;
};

OpenedEntry openEntry(const EntryToVisit& entry, const TreeRules& rules,
                      PseudoFileSystems& pseudoFileSystems);

// The real path behind an open descriptor, through /proc; empty when unknown.
std::string realPathOf(int fd);

} // namespace quelby
