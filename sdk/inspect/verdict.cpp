#include "sdk/inspect/verdict.h"

#include <cstring>

#include "plugins/load_verdict.h"

namespace {

// The step the child was in when it stopped.
const char* StepName(Stage stage) {
    switch (stage) {
    case Stage::Mapping: return "dlopen";
    case Stage::Loading: return "Load";
    case Stage::Opening: return "Open";
    case Stage::Opened: return "the reader thread's start";
    case Stage::Closing: return "Close";
    case Stage::Unloading: return "the wait for its worker and reader threads, or Unload,";
    default: return "the inspection";
    }
}

std::string HowItEnded(const Ending& ending, std::chrono::milliseconds limit) {
    switch (ending.kind) {
    case Ending::Killed:
        return "crashed: signal " + std::to_string(ending.detail) + " (" +
               strsignal(ending.detail) + ")";
    case Ending::TimedOut: {
        char text[64];
        std::snprintf(text, sizeof text, "did not return within %g s", limit.count() / 1000.0);
        return text;
    }
    default: return "ended the process: exit status " + std::to_string(ending.detail);
    }
}

std::string Failure(const std::string& fileName, const Findings& findings,
                    std::chrono::milliseconds limit) {
    return "plugin " + fileName + ": " + StepName(findings.stage) + " " +
           HowItEnded(findings.ending, limit);
}

bool Completed(const Findings& findings) {
    return findings.stage == Stage::Done && findings.ending.kind == Ending::Exited &&
           findings.ending.detail == 0;
}

}  // namespace

bool Declared(const Findings& findings) { return findings.stage >= Stage::Loaded; }

Verdict Judge(const std::string& fileName, const Findings& findings, bool loadable, bool run,
              std::chrono::milliseconds limit) {
    switch (findings.stage) {
    case Stage::Unmapped: return {loadable ? 1 : 2, UnmappedMessage(fileName, findings.reason), ""};
    case Stage::NoLoad: return {1, MissingLoadMessage(fileName), ""};
    case Stage::Mapping:
    case Stage::Loading: return {1, Failure(fileName, findings, limit), ""};
    default: break;
    }
    LoadRefusal refusal = JudgeLoad(fileName, findings.loadResult, findings.declared);
    // The core's own identifier is taken before any plugin loads.
    if (!refusal.refused() && findings.declared.id == DVR_CORE_ID)
        refusal = DuplicateIdentifier(fileName, DVR_CORE_ID);
    if (refusal.refused()) return {1, refusal.text, ""};
    if (!run) return {0, "accepted", ""};
    if (Completed(findings))
        return {0, "accepted", "completed; Open returned " + std::to_string(findings.openResult)};
    return {1, "accepted", Failure(fileName, findings, limit)};
}
