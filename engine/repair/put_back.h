#pragma once

// Putting proven bytes back in a damaged file's place without losing
// anything. The bytes go into a new file in the same folder, which gets the
// digest, the stamp, the other attributes, the owner, the mode and the
// modification time of the damaged one, is made durable, and then trades
// names with it in one exchange: the name always holds a whole file, either
// the damaged one or the repaired one. The damaged file loses Quelby's
// attributes for the damaged mark, so that no later run takes it for a file
// to check or repair, and keeps its bytes as evidence under NAME.damaged (or
// NAME.damaged.N).

#include "engine/read/file_digest.h"
#include "engine/store/evidence_store.h"

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <sys/stat.h>

namespace quelby {

struct DamagedFile
{
    int folder = -1; // the folder that holds it
    std::string name;
    struct stat judged = {}; // as it was when its digest was found to differ
    Digest digest;           // its stored digest, which the new bytes must have
    std::optional<std::string> stamp; // its stored stamp, written back unchanged
    EvidenceStore* evidence = nullptr; // where its digest and stamp are kept
    std::string path;                  // its raw path, the folder's included
};

// Why the file cannot be repaired whatever copy is found; none when it can.
std::optional<std::string> repairRefusal(const DamagedFile& damaged);

struct PutBack
{
    enum class End
    {
        repaired,
        failed,  // nothing changed but a removed temporary file; reason says why
        stopped, // a stop came before the exchange: nothing changed
        // The exchange was made, but the damaged file could not be renamed
        // or cleared of the attributes; reason says where it is.
        repairedWithoutKeeping
    };
    End end = End::failed;
    std::string reason;
    std::string keptName; // repaired: the damaged file's name now
};

// Why nothing may be written in the folder: a name there can be made but
// never removed or exchanged (append-only, immutable). None when it may.
std::optional<std::string> folderRefusal(int folder);

// The bytes the file is to hold.
struct WriteBytes
{
    // Writes them into `to`, an empty new file; the reason when it cannot, empty for a stop.
    std::function<std::expected<void, std::string>(int to)> write;
    // Why bytes written whole may still not be the ones the stored digest vouches for.
    std::string notProven;
};

// Exactly copySize bytes, the size proven, from copy (any offset).
WriteBytes bytesOfCopy(int copy, std::int64_t copySize, const ReadBuffer& buffer,
                       const std::function<bool()>& stopRequested);

// Writes the new bytes, proves them by the damaged file's stored digest and
// swaps them in. Asks for a stop until the names change; after, finishes.
PutBack putBack(const DamagedFile& damaged, const WriteBytes& writeBytes,
                const ReadBuffer& buffer, DigestBackEnd backEnd,
                const std::function<bool()>& stopRequested);

// A file that is gone, to be made again under its name.
struct MissingFile
{
    int folder = -1;
    std::string name;
    std::string path; // raw, the folder's included
    Digest digest;    // the bytes must have it
    std::uint32_t mode = 0644;
    struct timespec modified = {};
    EvidenceStore* evidence = nullptr; // gets the digest and a fresh stamp
};

// Writes the bytes into a new file, proves them by the digest, gives the file
// its mode, time, digest and stamp, makes it durable, and only then gives it
// the name, which it never takes from a file that appeared meanwhile. The
// reason when it failed (nothing is left behind), empty for a stop.
std::expected<void, std::string> restoreMissing(const MissingFile& missing,
                                                const WriteBytes& writeBytes,
                                                const ReadBuffer& buffer, DigestBackEnd backEnd,
                                                const std::function<bool()>& stopRequested);

} // namespace quelby
