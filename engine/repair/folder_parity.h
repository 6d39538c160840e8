#pragma once

// A folder's parity as repair reads it: Quelby's own sets of the folder
// (.quelby.par2, .quelby.2.par2, ...), or a set made elsewhere and named on
// the command line, with every BASE*.par2 beside it that belongs to it.
// Quelby's sets are read only when trusted, as a manifest is; a set made
// elsewhere is the user's own choice.

#include "engine/evidence/parity_format.h"
#include "engine/platform/sys.h"
#include "engine/repair/put_back.h"

#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quelby {

class FolderParity
{
public:
    // Quelby's sets of the folder; none when it has none.
    static std::expected<std::optional<FolderParity>, std::string> own(int folder);
    // The set `name` in the folder and its volumes.
    static std::expected<FolderParity, std::string> foreign(int folder, const std::string& name);

    // What Quelby's set records of a file; none for a set made elsewhere.
    const parity::CoveredRecord* record(std::string_view name) const;
    // Whether a set holds the file's slices (or, for an empty file, its record).
    bool covers(std::string_view name) const;
    bool madeElsewhere() const { return foreign_; }
    // Every name the sets cover, empty files included.
    std::vector<std::string> namesCovered() const;

    // Writes the file's whole rebuilt contents to out; the reason when it
    // cannot, empty for a stop. provenWhole names files whose slices need no check.
    std::expected<void, std::string> rebuild(std::string_view name, int out,
                                             const std::function<bool(std::string_view)>& provenWhole,
                                             const std::function<bool()>& stop) const;

private:
    struct Set
    {
        std::vector<FileDescriptor> parts;
        parity::ParitySet contents;
    };
    int folder_ = -1;
    bool foreign_ = false;
    std::vector<Set> sets_;
};

// Rebuilds the damaged file from the folder's parity and puts it back as a
// repair from a copy does. Files whose size and time are as the set recorded
// them are taken as whole first; should the rebuilt bytes then fail their
// proof, every slice is checked and the file rebuilt again.
PutBack putBackFromParity(const DamagedFile& damaged, const FolderParity& parity,
                          const ReadBuffer& buffer, DigestBackEnd backEnd,
                          const std::function<bool()>& stop);

// Why rebuilt bytes were refused: they are not the ones the digest vouches for.
inline constexpr std::string_view kRebuiltDiffers = "the rebuilt bytes do not have the stored digest";

// Whether the folder of the file at relativePath below root (an absolute
// path) holds a set of Quelby's that repair would trust. Only the set's
// status is looked at, and no link below root is followed on the way.
bool hasOwnParity(const std::string& root, std::string_view relativePath);

// The raw paths of the folders at or below root (whose path is rootPath)
// that hold a set of Quelby's, in walk order.
std::vector<std::string> foldersWithParity(const FileDescriptor& root, const std::string& rootPath);

} // namespace quelby
