#pragma once

// What a report line is, read from how it starts: the report marks each file's
// outcome with a symbol, and Tag's verbose lines with their fixed wording.
// The view colours lines by kind and hides the kinds that need no attention.

#include <string_view>

enum class LineKind
{
    failure, // "❌ …"
    warning, // "⚠️ …"
    success, // "✅ …"
    digest,  // Tag's "Digest N for …"
    other    // summaries, Stopped lines, anything else
};

LineKind lineKind(std::string_view line);

// Whether a line of this kind stays in sight when only problems are shown.
inline bool isProblemOrSummary(LineKind kind)
{
    return kind != LineKind::success && kind != LineKind::digest;
}
