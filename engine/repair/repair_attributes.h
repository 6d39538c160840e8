#pragma once

// The attributes that go with a repaired file and the one that stays: the
// new file ends up with exactly the damaged file's attributes, and the
// damaged file trades Quelby's for the damaged mark, so that no later run
// takes it for a file to check or repair.

#include "engine/platform/posix_error.h"
#include "engine/store/evidence_store.h"

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>

namespace quelby {

// Removes from to every attribute that must match and that from lacks: user
// attributes, ACLs and capabilities (a folder's default ACL is inherited by
// a new file, and would widen access).
std::expected<void, PosixError> removeAttributesMissingFrom(int from, int to);

// Every attribute but Quelby's and the capability, ACLs included. Attributes
// of the other name spaces (security., trusted., system.) go as far as the
// caller may set them; a user attribute that cannot be copied would be lost,
// so it fails.
std::expected<void, PosixError> copyOtherAttributes(int from, int to);

// The capability goes last: the kernel clears it on a change of owner and on
// a write.
std::expected<void, PosixError> copyCapability(int from, int to);

// The name of the first attribute that must match and does not (present on
// one file only, or with other bytes): Quelby's, every user attribute, the
// access ACL and the capability. None when all match.
std::expected<std::optional<std::string>, PosixError> attributeNotKept(int from, int to);

// Marks the damaged file with mark and removes the digest and the stamp;
// judged is the file's status, for its owner and mode.
std::expected<void, PosixError> markAsDamaged(EvidenceStore& evidence, int fd,
                                              const std::string& name, const struct stat& judged,
                                              std::string_view mark);

} // namespace quelby
