#include "engine/transfer/export.h"

#include "engine/evidence/manifest_format.h"

namespace quelby {

std::optional<std::string> pathBelow(std::string_view folder, std::string_view path)
{
    if (folder == "/") {
        return path.size() > 1 && path.front() == '/' ? std::optional(std::string(path.substr(1)))
                                                      : std::nullopt;
    }
    if (path.size() <= folder.size() + 1 || !path.starts_with(folder) ||
        path[folder.size()] != '/') {
        return std::nullopt;
    }
    return std::string(path.substr(folder.size() + 1));
}


std::optional<std::string> exportedLine(std::string_view relativePath, std::string_view digest,
                                        ExportForm form)
{
    if (form == ExportForm::gnu) {
        return manifestDigestLine(relativePath, digest);
    }
    if (digest.size() != 32 || relativePath.empty() ||
        relativePath.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    const bool escaped = pathNeedsEscape(relativePath);
    std::string line = escaped ? "\\SHA256 (" : "SHA256 (";
    line += escaped ? escapedPath(relativePath) : std::string(relativePath);
    line += ") = ";
    line += lowerHex(digest);
    line += '\n';
    return line;
}

} // namespace quelby
