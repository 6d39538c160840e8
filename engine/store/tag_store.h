#pragma once

// The tag store: the evidence kept in the file's own extended attributes.
// The digest attribute holds exactly the 32 raw bytes of the SHA-256 digest:
// no header, no hex, no terminator. The time-stamp attribute holds 20 bytes
// of UTF-8 text such as 2024-03-09T17_05_42Z. Anything else stored under the
// digest name simply never matches; it is not an error.

#include "engine/platform/posix_error.h"
#include "engine/store/evidence_store.h"
#include "engine/store/repair_marks.h"

#include <expected>
#include <memory>
#include <string>
#include <string_view>

namespace quelby {

inline constexpr std::string_view kDigestAttributeName = "co.mossgroveware.quelby.hash#S";
inline constexpr std::string_view kTimeAttributeName = "co.mossgroveware.quelby.time#S";

// Reads one attribute of the open file; ENODATA when the file carries none.
std::expected<Bytes, PosixError> readExtendedAttribute(int fd, std::string_view name);

// Creates the attribute or replaces its whole value.
std::expected<void, PosixError> writeExtendedAttribute(int fd, std::string_view name,
                                                       std::string_view value);

// The same by path, following symbolic links to the file they point to.
std::expected<Bytes, PosixError> readExtendedAttribute(const std::string& path,
                                                       std::string_view name);
std::expected<void, PosixError>
writeExtendedAttribute(const std::string& path, std::string_view name, std::string_view value);

// Reads and writes through the descriptor the file was digested through, at
// once, on the visiting thread; it needs no lookUp and no apply.
class AttributeStore : public EvidenceStore
{
public:
    AttributeStore(std::string digestName = std::string(kDigestAttributeName),
                   std::string stampName = std::string(kTimeAttributeName));

    std::expected<std::optional<Bytes>, PosixError> read(const StoredFile& file,
                                                         EvidenceKind kind) override;
    std::expected<void, PosixError> write(const StoredFile& file, EvidenceKind kind,
                                          std::string_view value) override;
    std::expected<void, PosixError> remove(const StoredFile& file, EvidenceKind kind) override;

private:
    // The attribute's name as the platform stores it.
    const std::string& storedNameOf(EvidenceKind kind) const;

    // Made once: a run of millions of files reads them millions of times.
    std::string digestName_;
    std::string stampName_;
    std::string damagedName_;
};

// The store a run is given when it is given no other: the attribute store
// with the two names, shared by every such run.
std::shared_ptr<EvidenceStore> attributeStore();

} // namespace quelby
