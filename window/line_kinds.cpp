#include "window/line_kinds.h"

#include <algorithm>
#include <cassert>

using quelby::FileResult;
using quelby::Operation;
using quelby::RepairResult;

LineKind entryLineKind(Operation operation, FileResult result)
{
    switch (result) {
    case FileResult::matched:
    case FileResult::healed:
        return LineKind::success;
    case FileResult::differs:
    case FileResult::kept:
    case FileResult::readFailed:
        return LineKind::failure;
    case FileResult::noDigest:
    case FileResult::retagged:
    case FileResult::leftover:
    case FileResult::damagedCopy:
        return LineKind::warning;
    case FileResult::tagged:
        // Tag's only lines are its verbose digests; Retag says it tagged a new file.
        return operation == Operation::tag ? LineKind::digest : LineKind::warning;
    case FileResult::tagFailed:
        // Tag says its failures at once, as notices, after the digest line.
        return operation == Operation::tag ? LineKind::digest : LineKind::failure;
    case FileResult::missing:
        // Check reports a listed file that is gone; Tag and Retag drop its digest.
        return operation == Operation::check ? LineKind::failure : LineKind::warning;
    case FileResult::none:
        break;
    }
    return LineKind::other;
}

LineKind repairLineKind(const quelby::RepairedEntry& entry)
{
    switch (entry.result) {
    case RepairResult::matched:
    case RepairResult::repaired:
        return LineKind::success;
    case RepairResult::readFailed:
    case RepairResult::noCopy:
    case RepairResult::repairFailed:
        return LineKind::failure;
    case RepairResult::noDigest:
    case RepairResult::left:
    case RepairResult::wouldRepair:
    case RepairResult::leftover:
    case RepairResult::damagedCopy:
        return LineKind::warning;
    case RepairResult::none:
        break;
    }
    return entryLineKind(Operation::check, entry.entry.result);
}

void KindedText::add(std::string_view lines, LineKind kind)
{
    if (lines.empty()) {
        return;
    }
    // The open last line takes the kind of the piece that starts it.
    if (text_.empty() || text_.back() == '\n') {
        kinds_.back() = kind;
    }
    text_ += lines;
    kinds_.insert(kinds_.end(), static_cast<std::size_t>(std::ranges::count(lines, '\n')), kind);
}

void KindedText::add(const KindedText& more)
{
    if (more.empty()) {
        return;
    }
    if (text_.empty() || text_.back() == '\n') {
        kinds_.back() = more.kinds_.front();
    }
    text_ += more.text_;
    kinds_.insert(kinds_.end(), more.kinds_.begin() + 1, more.kinds_.end());
}

KindedText KindedText::withText(std::string text) const
{
    assert(std::ranges::count(text, '\n') + 1 == static_cast<std::ptrdiff_t>(kinds_.size()));
    KindedText changed;
    changed.text_ = std::move(text);
    changed.kinds_ = kinds_;
    return changed;
}
