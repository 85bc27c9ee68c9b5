#include "console/plan_action.h"

#include "core/code_page.h"

namespace veritor {

ActionOutcome RunPlanFile(Host& host, ConsoleLinks& links, const std::string& path, bool verbose,
                          PlanPrompts* answers, const CodePage* page) {
  if (host.state.TransactionInProgress) return ActionOutcome::kIgnored;
  if (!host.state.Connected) {
    host.prompts.ErrorBox("Not connected!");
    return ActionOutcome::kRefused;
  }
  if (path.empty()) {
    host.prompts.ErrorBox("No filename specified");
    return ActionOutcome::kRefused;
  }
  std::string error;
  const CodePage default_page = *CodePage::Find(kDefaultCodePage);
  const std::optional<Plan> plan = LoadPlanFile(path, error, page != nullptr ? page : &default_page);
  if (!plan) {
    host.prompts.ErrorBox("Plan refused: " + error);
    return ActionOutcome::kRefused;
  }
  host.log.LogMessage("Running plan '%s'", path.c_str());
  PlanLogReporter reporter(host.log);
  PlanServices services;
  services.a_file_path = [&links] { return links.z_report().AFilePath(); };
  services.answers = answers;
  const PlanRunResult result = RunPlan(host, links.executor(), *plan, {.verbose = verbose}, reporter, services);
  host.log.LogMessage("%s", FormatPlanSummary(result).c_str());
  return result.Outcome();
}

}  // namespace veritor
