#include "engine/text/repair_text.h"

#include "engine/text/report_pieces.h"

namespace quelby::report {

namespace {

std::string damagedFiles(std::int64_t count)
{
    return count == 1 ? " damaged file in " : " damaged files in ";
}

} // namespace

std::string repairedLine(std::string_view path, std::string_view copy)
{
    return join({kTick, "Repaired ", path, " from ", copy, "\n"});
}

std::string wouldRepairLine(std::string_view path, std::string_view copy)
{
    return join({kWarning, "Would repair ", path, " from ", copy, "\n"});
}

std::string noIntactCopyLine(std::string_view path)
{
    return join({kCross, "No intact copy of ", path, "\n"});
}

std::string couldntRepairLine(std::string_view path, std::string_view reason)
{
    return join({kCross, "Couldn't repair ", path, ": ", reason, "\n"});
}

std::string restoredLine(std::string_view path, std::string_view from)
{
    return join({kTick, "Restored ", path, " from ", from, "\n"});
}

std::string couldntRestoreLine(std::string_view path, std::string_view reason)
{
    return join({kCross, "Couldn't restore ", path, ": ", reason, "\n"});
}

std::string leftLine(std::string_view path, std::string_view reason)
{
    return join({kWarning, "Left ", path, ": ", reason, "\n"});
}

std::string repairSummary(std::int64_t repaired, std::int64_t toRepair, std::string_view folder,
                          std::int64_t keptDamaged)
{
    return join({"Repaired ", std::to_string(repaired), " of ", std::to_string(toRepair),
                 damagedFiles(toRepair), folder, " (", std::to_string(keptDamaged),
                 " kept as .damaged).\n"});
}

std::string dryRunSummary(std::int64_t wouldRepair, std::int64_t toRepair,
                          std::string_view folder)
{
    return join({"Would repair ", std::to_string(wouldRepair), " of ", std::to_string(toRepair),
                 damagedFiles(toRepair), folder, ".\n"});
}

} // namespace quelby::report
