#include "journal.h"

#include "engine/text/display_text.h"

#include <string>
#include <sys/uio.h>
#include <vector>

// The entries carry no code location: a reader of the journal wants the file
// and the folder, not which line of this program sent them.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

namespace quelby::cli {

namespace {

// syslog(3) priorities, as the journal's PRIORITY field writes them.
constexpr int kError = 3;
constexpr int kWarning = 4;
constexpr int kNotice = 5;

// One entry's fields, each "NAME=value". Values are report text (paths
// escaped), so none holds a line break.
class Entry
{
public:
    Entry(int priority, std::string_view messageId)
    {
        add("PRIORITY", std::to_string(priority));
        add("MESSAGE_ID", messageId);
        // journalctl -t finds entries by this name whatever the binary is called.
        add("SYSLOG_IDENTIFIER", "quelby-cli");
    }

    void add(std::string_view name, std::string_view value)
    {
        std::string field(name);
        field += '=';
        field += value;
        fields_.push_back(std::move(field));
    }
    void add(std::string_view name, std::int64_t value) { add(name, std::to_string(value)); }

    // A missing or failing journal leaves the report as it is: the result is
    // deliberately not looked at.
    void send() const
    {
        std::vector<iovec> parts;
        parts.reserve(fields_.size());
        for (const std::string& field : fields_) {
            parts.push_back(iovec{const_cast<char*>(field.data()), field.size()});
        }
        static_cast<void>(::sd_journal_sendv(parts.data(), static_cast<int>(parts.size())));
    }

private:
    std::vector<std::string> fields_;
};

std::string_view problemWords(FileResult result)
{
    switch (result) {
    case FileResult::differs:
        return "differs from its digest";
    case FileResult::readFailed:
        return "could not be read";
    default:
        return fileResultName(result);
    }
}

} // namespace

void journalProblem(const scrub::Problem& problem)
{
    const std::string path = escapedForReport(problem.path);
    Entry entry(kError, scrub::kProblemMessageId);
    entry.add("MESSAGE", path + ": " + std::string(problemWords(problem.result)));
    entry.add("QUELBY_FOLDER", escapedForReport(problem.folder));
    entry.add("QUELBY_PATH", path);
    entry.add("QUELBY_RESULT", fileResultName(problem.result));
    entry.add("QUELBY_VERDICT", problem.verdict ? verdictName(*problem.verdict) : "");
    entry.send();
}

void journalGone(const scrub::Gone& gone)
{
    const std::string path = escapedForReport(gone.path);
    Entry entry(kWarning, scrub::kGoneMessageId);
    entry.add("MESSAGE", "Gone since the last scrub: " + path);
    entry.add("QUELBY_FOLDER", escapedForReport(gone.folder));
    entry.add("QUELBY_PATH", path);
    entry.add("QUELBY_RESULT", "gone");
    entry.send();
}

void journalHealed(const std::string& folder, const std::string& rawPath)
{
    const std::string path = escapedForReport(rawPath);
    Entry entry(kNotice, scrub::kHealedMessageId);
    entry.add("MESSAGE", "Healed from parity: " + path);
    entry.add("QUELBY_FOLDER", escapedForReport(folder));
    entry.add("QUELBY_PATH", path);
    entry.add("QUELBY_RESULT", "healed");
    entry.add("QUELBY_VERDICT", "damaged");
    entry.send();
}

void journalSummary(const scrub::FolderSummary& summary, std::string_view summaryLine)
{
    Entry entry(summary.problems > 0 ? kWarning : kNotice, scrub::kSummaryMessageId);
    // The summary line ends in a line break in the report; the entry does not.
    if (summaryLine.ends_with('\n')) {
        summaryLine.remove_suffix(1);
    }
    entry.add("MESSAGE", summaryLine);
    entry.add("QUELBY_FOLDER", escapedForReport(summary.folder));
    entry.add("QUELBY_VERIFIED", summary.verified);
    entry.add("QUELBY_PROBLEMS", summary.problems);
    entry.add("QUELBY_FILES", summary.files);
    entry.add("QUELBY_PERCENT", summary.percent);
    entry.add("QUELBY_EVERY_DAYS", summary.everyDays);
    entry.add("QUELBY_NO_DIGEST", summary.noDigest);
    entry.add("QUELBY_GONE", summary.gone);
    entry.add("QUELBY_BYTES_READ", summary.bytesRead);
    entry.add("QUELBY_OPEN_PROBLEMS", summary.openProblems);
    entry.send();
}

} // namespace quelby::cli
