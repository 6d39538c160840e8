#pragma once

// How many descriptors a walk may keep open at once. The process's limit of
// open files (RLIMIT_NOFILE) is shared with the rest of the run: the standard
// streams, the scrub state, manifests with their locks and temporary files,
// repair's copies. What is left once those have their room is shared out
// between the folders on the way down, the files being read and the folders
// a window of waiting files keeps open.

#include <cstddef>

namespace quelby {

struct DescriptorBudget
{
    std::size_t folderLevels = 64;   // folders on the way down that keep their descriptor
    std::size_t windowFolders = 256; // folders the files waiting to be read may keep open
};

// The budget of a walk that reads jobs files at once, from the limit and the
// descriptors open now.
DescriptorBudget descriptorBudget(std::size_t jobs);

// The budget for a limit of limit descriptors with inUse open already.
DescriptorBudget descriptorBudget(std::size_t jobs, std::size_t limit, std::size_t inUse);

} // namespace quelby
