#pragma once

#include <string>
#include <utility>
#include <vector>

#include "plan/plan_runner.h"

namespace veritor {

// One device's run of a plan, for the report.
struct DeviceRun {
  std::string device;  // "COM1", "tcp 127.0.0.2"
  PlanRunResult result;
  bool connected = true;  // false: the link did not open; no step ran
  std::string no_link = "the link did not open";  // why, when not connected
  std::string timestamp;  // when the run began, "2026-12-07T14:03:07"
  std::string hostname;
  // What a CI server shows beside the steps: the link, the address or port,
  // the device's answer to "v".
  std::vector<std::pair<std::string, std::string>> properties;
};

// JUnit XML for a CI server: a <testsuite> per device, a <testcase> per step
// run; a mismatch or a refusal is a <failure>, a step without a reply, a
// stopped step (or a device that could not be reached) an <error>, each with
// the expected and received text and the step's log lines; the steps a run
// that ended early never reached are <skipped/>. The .finally block's steps
// make a testsuite of their own.
std::string JUnitReport(const std::string& plan_name, const std::vector<DeviceRun>& runs);

// UTF-8 text made safe for XML 1.0: the five entities, and \xHH for control
// characters and bytes that are no UTF-8 (as VisibleText), line ends kept.
std::string XmlEscape(const std::string& text);

}  // namespace veritor
