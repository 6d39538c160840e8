#include "engine/text/parity_text.h"

#include "engine/text/report_pieces.h"

namespace quelby::report {

namespace {

std::string sets(std::int64_t count)
{
    return std::to_string(count) + (count == 1 ? " set" : " sets");
}

} // namespace

std::string keptForParityLine(std::string_view path, std::string_view folder)
{
    return join({kWarning, "Kept the stored digest of ", path,
                 ": it differs and was not edited (quelby-cli repair ", folder, ")\n"});
}

std::string parityLeftLine(std::string_view folder, std::string_view damagedPath)
{
    return join({kWarning, "Left the parity of ", folder, " as it was: ", damagedPath,
                 " is damaged (quelby-cli repair ", folder, ")\n"});
}

std::string parityFailedLine(std::string_view set, std::string_view reason)
{
    return join({kCross, "Couldn't write ", set, ": ", reason, "\n"});
}

std::string healedLine(std::string_view path)
{
    return join({kTick, "Healed ", path, " from parity\n"});
}

std::string parityDamagedLine(std::string_view folder)
{
    return join({kWarning, "The parity of ", folder,
                 " is damaged (quelby-cli scrub --heal rebuilds it)\n"});
}

std::string parityRebuiltLine(std::string_view folder)
{
    return join({kWarning, "Rebuilt the parity of ", folder, ": it was damaged\n"});
}

std::string paritySummary(const ParityCounts& counts)
{
    if (counts.written + counts.kept + counts.left + counts.removed == 0) {
        return {};
    }
    return join({"Parity: ", sets(counts.written), " written, ", std::to_string(counts.kept),
                 " kept, ", std::to_string(counts.left), " left, ",
                 std::to_string(counts.removed), " removed.\n"});
}

} // namespace quelby::report
