#include "run.h"

namespace quelby {

std::string_view fileResultName(FileResult result)
{
    switch (result) {
    case FileResult::matched:
        return "matched";
    case FileResult::differs:
        return "differs";
    case FileResult::noDigest:
        return "no-digest";
    case FileResult::tagged:
        return "tagged";
    case FileResult::retagged:
        return "retagged";
    case FileResult::kept:
        return "kept";
    case FileResult::readFailed:
        return "read-failed";
    case FileResult::tagFailed:
        return "tag-failed";
    case FileResult::missing:
        return "missing";
    case FileResult::leftover:
        return "leftover";
    case FileResult::damagedCopy:
        return "damaged-copy";
    case FileResult::none:
        break;
    }
    return {};
}

} // namespace quelby
