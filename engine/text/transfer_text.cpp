#include "engine/text/transfer_text.h"

#include "engine/text/report_pieces.h"

namespace quelby::report {

std::string importedLine(std::string_view path)
{
    return join({kTick, "Imported ", path, "\n"});
}

std::string keptStoredLine(std::string_view path)
{
    return join({kWarning, "Kept the stored digest of ", path, "\n"});
}

std::string couldntReadListLine(std::size_t lineNumber, std::string_view list,
                                std::string_view reason)
{
    return join({kCross, "Couldn't read line ", std::to_string(lineNumber), " of ", list, ": ",
                 reason, "\n"});
}

std::string importSummary(std::int64_t imported, std::int64_t listed, std::string_view folder)
{
    return join({"Imported ", std::to_string(imported), " of ", std::to_string(listed),
                 listed == 1 ? " listed file into " : " listed files into ", folder, "."});
}

std::string exportSummary(std::int64_t exported, std::string_view folder, std::int64_t none)
{
    return join({"Exported ", std::to_string(exported),
                 exported == 1 ? " digest from " : " digests from ", folder, "; ",
                 std::to_string(none), none == 1 ? " file had none." : " files had none."});
}

} // namespace quelby::report
