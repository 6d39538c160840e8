#include "engine/transfer/import_list.h"

#include "engine/evidence/manifest_format.h"
#include "engine/text/display_text.h"
#include "engine/text/report_text.h"
#include "engine/text/transfer_text.h"
#include "engine/transfer/sums_list.h"
#include "engine/tree/paths.h"

#include <algorithm>
#include <optional>

namespace quelby {

namespace {

constexpr std::string_view kAbsoluteRefused = "absolute paths are refused; list paths relative to ";

// The listed path as the walk names it below the folder; none when it leaves
// the folder, being absolute or climbing with "..".
std::optional<std::string> keyOf(std::string_view listed)
{
    if (listed.starts_with('/')) {
        return std::nullopt;
    }
    std::string key;
    std::size_t start = 0;
    while (start <= listed.size()) {
        std::size_t end = listed.find('/', start);
        if (end == std::string_view::npos) {
            end = listed.size();
        }
        const std::string_view name = listed.substr(start, end - start);
        start = end + 1;
        if (name == "..") {
            return std::nullopt;
        }
        if (name.empty() || name == ".") {
            continue;
        }
        if (!key.empty()) {
            key += '/';
        }
        key += name;
    }
    return key;
}

} // namespace

std::vector<ListedFile> listedFiles(std::string_view listText, const ImportOptions& options,
                                    ImportObserver& observer, ImportState& state)
{
    std::vector<ListedFile> files;
    std::size_t lineNumber = 0;
    for (std::size_t start = 0; start < listText.size();) {
        std::size_t end = listText.find('\n', start);
        if (end == std::string_view::npos) {
            end = listText.size();
        }
        const auto parsed = parseSumsLine(listText.substr(start, end - start));
        start = end + 1;
        ++lineNumber;
        if (parsed && !*parsed) {
            continue;
        }
        ++state.listedCount;
        ImportOutcome outcome;
        outcome.lineNumber = lineNumber;
        if (!parsed) {
            outcome.error = parsed.error();
            outcome.lines =
                report::couldntReadListLine(lineNumber, options.listName, parsed.error());
            reportReadFailed(outcome, observer, state);
            continue;
        }
        // A path that leaves the folder is named as listed: it names no file of the folder.
        outcome.path = (*parsed)->path;
        outcome.listed = (*parsed)->digest;
        if (outcome.path->starts_with('/')) {
            reportRefused(outcome, std::string(kAbsoluteRefused) + escapedForReport(options.folder),
                          observer, state);
            continue;
        }
        auto key = keyOf((*parsed)->path);
        if (!key) {
            reportRefused(outcome, kLeavesFolder, observer, state);
            continue;
        }
        files.push_back({lineNumber, (*parsed)->path, std::move(*key), (*parsed)->digest});
    }
    std::stable_sort(files.begin(), files.end(), [](const ListedFile& a, const ListedFile& b) {
        return walkOrderLess(a.key, b.key);
    });
    return files;
}

std::size_t groupEnd(const std::vector<ListedFile>& files, std::size_t first)
{
    std::size_t end = first + 1;
    while (end < files.size() && files[end].key == files[first].key) {
        ++end;
    }
    return end;
}

std::string absolutePath(const std::string& folder, const std::string& key)
{
    if (key.empty()) {
        return folder;
    }
    return joinedPath(folder, key);
}

void reportReadFailed(ImportOutcome& outcome, ImportObserver& observer, ImportState& state)
{
    outcome.result = ImportResult::readFailed;
    ++state.readFailedCount;
    observer.lineDone(outcome);
}

void reportRefused(ImportOutcome& outcome, std::string_view reason, ImportObserver& observer,
                   ImportState& state)
{
    outcome.error = reason;
    outcome.lines = report::couldntReadLine(escapedForReport(*outcome.path), reason);
    reportReadFailed(outcome, observer, state);
}

} // namespace quelby
