#pragma once

#include <string>
#include <vector>

#include "plan/plan_runner.h"

namespace veritor {

// One device's run of a plan, for the report.
struct DeviceRun {
  std::string device;  // "COM1", "tcp 127.0.0.2"
  PlanRunResult result;
  bool connected = true;  // false: the link did not open; no step ran
};

// JUnit XML for a CI server: a <testsuite> per device, a <testcase> per step
// run; a mismatch is a <failure>, a step without a reply (or a device that
// could not be reached) an <error>, each with the expected and received text.
std::string JUnitReport(const std::string& plan_name, const std::vector<DeviceRun>& runs);

// Text made safe for XML 1.0: the five entities, and \xHH for the bytes XML
// cannot hold or that are not ASCII (replies are bytes, not UTF-8).
std::string XmlEscape(const std::string& text);

}  // namespace veritor
