#pragma once

// What a repair leaves in a folder besides the repaired file, and how every
// walk knows it again. The new file is written under a hidden name,
// .quelby-repair- and eight lowercase hex digits, until it trades names with
// the damaged one; a repair killed before that leaves it behind. The damaged
// bytes it keeps carry an attribute of their own instead of Quelby's two:
// the name the file had and the repair's time stamp, separated by a line feed.
// No walk tags, retags, checks or repairs either kind of file; it names them.

#include "engine/store/file_names.h"
#include <string>
#include <string_view>

namespace quelby {

inline constexpr std::string_view kDamagedAttributeName = "co.mossgroveware.quelby.damaged";

// True for exactly the names repair gives its temporary files.
bool isRepairTemporaryName(std::string_view name);

// The value of the damaged mark.
std::string damagedMarkValue(std::string_view formerName, std::string_view timeStamp);

} // namespace quelby
