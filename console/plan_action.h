#pragma once

#include <string>

#include "core/batch.h"
#include "core/host.h"
#include "plan/plan_runner.h"
#include "session/console_links.h"

namespace veritor {

class CodePage;

// The window's "Run plan": runs a test plan on the open link with the
// window's log, a PASS or FAIL line per step and the summary at the end. The
// progress ("steps") and Stop are the window's, through host.control; Stop
// takes effect between two steps. `answers`, when the window's prompts are
// wrapped in one, gives the plan's answer to the Z report's signature
// question; otherwise the operator is asked. Refuses (with an error box) when
// not connected, without a file name, or a plan that does not parse. The
// plan's requests and reply texts are written in `page` (none: the default).
ActionOutcome RunPlanFile(Host& host, ConsoleLinks& links, const std::string& path, bool verbose,
                          PlanPrompts* answers = nullptr, const CodePage* page = nullptr);

}  // namespace veritor
