#include "engine/text/failure_line.h"

#include "engine/text/report_pieces.h"

namespace quelby::report {

std::string failureLine(std::string_view reason)
{
    return join({kCross, reason, "\n"});
}

std::string failureLine(std::string_view path, std::string_view reason)
{
    return join({kCross, path, ": ", reason, "\n"});
}

std::string warningLine(std::string_view what)
{
    return join({kWarning, what, "\n"});
}

} // namespace quelby::report
