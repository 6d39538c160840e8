#pragma once

// Whether a file whose digest no longer matches was most likely edited or
// damaged, told by its modification time against the time stamp stored when
// it was tagged. An edit moves the modification time on; damage on the disk
// or a stray write that keeps the time does not. Stamps have whole seconds,
// so a modification time within the stamp's own second tells nothing.

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace quelby {

enum class Verdict
{
    edited,
    damaged,
    unknown
};

// modified is the file's st_mtim; storedStamp the time-stamp attribute's
// bytes, or nothing when the file carries none.
Verdict verdictFor(const struct timespec& modified, const std::optional<std::string>& storedStamp);

// The words a report line uses for the verdict.
std::string_view verdictText(Verdict verdict);

// The verdict's name in JSON output.
std::string_view verdictName(Verdict verdict);

} // namespace quelby
