#pragma once

// The engine calls the Problems view makes, one open problem at a time: a look
// at the file's verdict now, a repair from its folder's parity or from a copy
// (or its dry run), and Accept as edited. Each reads or writes whole files, so each runs on a worker
// thread and hands back what the report shows.

#include "engine/run/verdict.h"
#include "engine/scrub/state/scrub_state.h"
#include "window/line_kinds.h"

#include <QString>
#include <atomic>
#include <optional>
#include <string>

// A problem as the scrub state holds it.
struct OpenProblem
{
    std::string folder; // absolute, raw bytes
    std::string path;   // relative to folder
    quelby::scrub::LastResult result = quelby::scrub::LastResult::differs;
    quelby::scrub::Seconds since = 0;
    std::optional<quelby::Verdict> verdict = std::nullopt; // as the scrub found it
};

// What a look at the file says of its problem now, and the verdict when it differs.
struct VerdictLooked
{
    QString said;
    std::optional<quelby::Verdict> verdict;
};

// What a Check of the file says of its problem now; the look ends early, as
// "gone", once latest has moved on from generation.
VerdictLooked verdictNow(const OpenProblem& problem, const std::atomic<int>& latest,
                         int generation);

// The next step for a problem with this verdict, naming the view's buttons;
// hasParity: Repair needs no copy.
QString nextStepText(const OpenProblem& problem, std::optional<quelby::Verdict> verdict,
                     bool hasParity);

struct RepairDone
{
    KindedText text;                 // the report
    std::optional<std::string> copy; // the copy folder a dry run found the file in
    bool wouldRepair = false;        // a dry run found the file can be repaired
    bool repaired = false;
};

// A repair of the file from its folder's parity, then from the copies in copy when one is
// given; a dry run only says what it would do. A repaired file's problem is closed in the
// state at statePath.
RepairDone repairProblem(const OpenProblem& problem, const std::optional<std::string>& copy,
                         bool dryRun, const std::string& statePath);

// Whether the file's own folder holds a parity set of Quelby's that repair would trust.
// Only the set's status is looked at, no link followed: cheap enough for the main thread.
bool hasParity(const OpenProblem& problem);

struct AcceptDone
{
    KindedText text; // the report
    bool retagged = false;
};

// Accept as edited: the file retagged and its problem closed in the state at statePath.
AcceptDone acceptEdit(const OpenProblem& problem, const std::string& statePath);
