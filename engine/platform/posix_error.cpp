#include "engine/platform/posix_error.h"

#include <cstring>

namespace quelby {

PosixError posixError(int errorNumber)
{
    char text[256];
    // GNU strerror_r returns a pointer that may or may not be our buffer.
    const char* description = strerror_r(errorNumber, text, sizeof text);
    return PosixError{errorNumber, description};
}

} // namespace quelby
