#pragma once

// Where a file's evidence, its stored digest and time stamp, is kept. Every
// read and write of them, by Check, Tag, Retag and repair, goes through an
// EvidenceStore; the file's extended attributes are one such place.
//
// Threads. A run visits several files at once, each on one thread; for each
// file, in this order:
// - lookUp runs on the walk's own thread, in walk order, before the file is
//   handed to its visit. A store keyed by path finds the file's entry here
//   and leaves it in the file's EvidenceSlot.
// - read and write run on the thread that visits the file, with the
//   descriptor it digested. The attribute store reads and writes through that
//   descriptor at once; a store keyed by path answers from the slot and only
//   records its writes there.
// - apply runs on the walk's own thread as the file's outcome is delivered,
//   in walk order, with the slot the visit left in it: a store keyed by path
//   takes the recorded writes here.
// So a store keyed by path is only ever touched by the walk's thread, while
// the visits, on any thread, see nothing of it but their own slot.

#include "engine/platform/posix_error.h"

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quelby {

// Raw bytes of a stored value.
using Bytes = std::string;

enum class EvidenceKind
{
    digest,     // the 32 raw bytes of a file's SHA-256 digest
    stamp,      // when the digest was written: 2024-03-09T17_05_42Z
    damagedMark // on the damaged bytes a repair kept: their former name and the repair's stamp
};

class EvidenceStore;

// What a store keyed by path knows of one file, and what a visit wrote for it.
struct EvidenceSlot
{
    std::optional<Bytes> digest;
    std::optional<Bytes> stamp;
    std::optional<Bytes> damagedMark;
    bool digestWritten = false; // written or removed by the visit
    bool stampWritten = false;
    // The store that looked the file up, where several serve; it lives at
    // least as long as the file's outcome.
    std::shared_ptr<EvidenceStore> owner;
};

// One file as the store sees it: the descriptor it was digested through, its
// raw path, and its slot.
struct StoredFile
{
    int fd = -1;
    const std::string& path;
    EvidenceSlot& slot;
};

struct EntryOutcome;

class EvidenceStore
{
public:
    virtual ~EvidenceStore() = default;

    // On the walk's thread, as the walk enters a folder below the run's.
    virtual void folderEntered(const std::string& path, int folderFd)
    {
        (void)path;
        (void)folderFd;
    }
    // The files below folder are judged by a manifest of their own: this store
    // neither reports them gone nor drops them.
    virtual void folderHasOwnManifest(const std::string& folder) { (void)folder; }
    // Before the visit, on the walk's thread: finds what the store keeps for path.
    virtual void lookUp(const std::string& path, EvidenceSlot& slot)
    {
        (void)path;
        (void)slot;
    }
    // The stored value; none when the file has none; an error when it cannot be
    // read (EOPNOTSUPP: the file's file system keeps no attributes).
    virtual std::expected<std::optional<Bytes>, PosixError> read(const StoredFile& file,
                                                                 EvidenceKind kind) = 0;
    // Creates the value or replaces it whole.
    virtual std::expected<void, PosixError> write(const StoredFile& file, EvidenceKind kind,
                                                  std::string_view value) = 0;
    // Removes the value; a file without one is no failure.
    virtual std::expected<void, PosixError> remove(const StoredFile& file, EvidenceKind kind) = 0;
    // On the walk's thread, for every entry the walk meets, in walk order, and
    // with none at the end: the raw paths of the files the store lists before
    // it that are gone from the disk, a bounded batch at a time. The walk asks
    // again with the same path until a batch comes back empty, so that a
    // manifest whose files are all gone never sits in memory whole.
    virtual std::vector<std::string> goneBefore(const std::string* path)
    {
        (void)path;
        return {};
    }
    // As the visit's outcome is delivered, on the walk's thread.
    virtual void apply(const EntryOutcome& outcome) { (void)outcome; }
    // After the walk, on its thread: writes what is still to write; the reason
    // in words when that failed.
    virtual std::expected<void, std::string> finish() { return {}; }
    // A repair kept damaged bytes at path (raw), marked with mark: a store
    // keyed by path lists them from now on. The attribute store has marked
    // the file itself already.
    virtual void keptDamaged(const std::string& path, std::string_view mark)
    {
        (void)path;
        (void)mark;
    }
    // Lines for standard error, once the walk is over: manifests met below the
    // folder and passed over.
    virtual std::vector<std::string> notices() const { return {}; }
    // The manifest that keeps the evidence, raw bytes; none for attributes.
    virtual const std::string* manifest() const { return nullptr; }
};

} // namespace quelby
