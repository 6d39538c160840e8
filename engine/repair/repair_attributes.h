#pragma once

// The attributes that go with a repaired file and the one that stays: all of
// the damaged file's attributes but Quelby's pass to the new file, and the
// damaged file loses Quelby's so that no later run takes it for a file to
// check or repair.

#include "engine/posix_error.h"

#include <expected>
#include <sys/stat.h>

namespace quelby {

// Every attribute but Quelby's, ACLs included. Attributes of the other
// name spaces (security., trusted., system.) go as far as the caller may
// set them; a user attribute that cannot be copied would be lost, so it fails.
std::expected<void, PosixError> copyOtherAttributes(int from, int to);

// Removes the digest and the stamp; judged is the file's status, for its
// owner and mode.
std::expected<void, PosixError> removeQuelbyAttributes(int fd, const struct stat& judged);

} // namespace quelby
