#pragma once

// Reading a parity set someone else may have written. Every length, count and
// slice size is bounded before anything is allocated for it; a packet whose
// MD5 does not match is passed over, as the format intends; names that are
// not plain file names in the set's folder ("/", "..", empty, a NUL) make the
// whole set refused. Recovery data is not kept in memory: only where it lies.

#include "engine/evidence/parity_format.h"

#include <cstdint>
#include <expected>
#include <span>
#include <string>

namespace quelby::parity {

// The files of one set: the set's own file first, then any others that may
// hold its packets (a foreign set's .vol files). Packets of another recovery
// set than the first Main packet of the first file are passed over.
// Unexpected, with a reason for the report, when no usable set is there.
std::expected<ParitySet, std::string> readSet(std::span<const int> parts);

// Copies bytes [from, from + length) of a recovery slice's data into out.
std::expected<void, std::string> readRecoveryData(std::span<const int> parts,
                                                  const RecoverySlice& slice, std::uint64_t from,
                                                  std::uint64_t length, std::uint8_t* out);

} // namespace quelby::parity
