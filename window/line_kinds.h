#pragma once

// What a report line is, told by whoever writes it from what it reports (a
// file's result, a failure of the run), never read back from its words or
// its symbol: a report in another language keeps its colours. The view
// colours lines by kind and hides the kinds that need no attention.

#include "engine/repair/repair.h"
#include "engine/run/run.h"

#include <string>
#include <string_view>
#include <vector>

enum class LineKind
{
    failure, // a file that differs or could not be read or tagged; a run's failure
    warning, // a file without a digest, a digest written or dropped, something left
    success, // a file that matches its digest, or was repaired or healed
    digest,  // Tag's verbose "Digest N for …"
    other    // summaries, Stopped lines, anything else
};

// The kind of an entry's lines, from what became of the file under the operation.
LineKind entryLineKind(quelby::Operation operation, quelby::FileResult result);
// The kind of a repair's line for one entry.
LineKind repairLineKind(const quelby::RepairedEntry& entry);

// Whether a line of this kind stays in sight when only problems are shown.
inline bool isProblemOrSummary(LineKind kind)
{
    return kind != LineKind::success && kind != LineKind::digest;
}

// Report text with the kind of each of its lines. A line continued by a later
// piece keeps the kind it started with.
class KindedText
{
public:
    KindedText() = default;
    explicit KindedText(std::string_view lines, LineKind kind = LineKind::other)
    {
        add(lines, kind);
    }

    // Every line lines starts takes kind.
    void add(std::string_view lines, LineKind kind);
    void add(const KindedText& more);

    const std::string& text() const& { return text_; }
    std::string text() && { return std::move(text_); }
    // One per line: a kind for each line break, and one for the text after the last.
    const std::vector<LineKind>& kinds() const { return kinds_; }
    bool empty() const { return text_.empty(); }
    // The same lines with their text changed line by line (no line break added or taken).
    KindedText withText(std::string text) const;

private:
    std::string text_;
    std::vector<LineKind> kinds_{LineKind::other};
};
