#pragma once

// The error value of every failed system call the engine makes.

#include <string>

namespace quelby {

// A failed system call: the errno it left and the system's own text for it,
// read at the moment of the failure.
struct PosixError
{
    int code = 0;
    std::string description;
};

// Builds the error value for an error number; call it straight after the failing call.
PosixError posixError(int errorNumber);

} // namespace quelby
