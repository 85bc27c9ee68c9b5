#include "plan/junit_report.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "core/code_page.h"

namespace veritor {

namespace {

std::string Seconds(uint32_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%u.%03u", ms / 1000, ms % 1000);
  return text;
}

std::string Attribute(const char* name, const std::string& value) {
  return std::string(" ") + name + "=\"" + XmlEscape(value) + "\"";
}

bool IsError(StepVerdict verdict) { return verdict == StepVerdict::kNoReply || verdict == StepVerdict::kStopped; }

void AppendTestCase(std::string& xml, const std::string& suite, const StepRecord& record) {
  xml += "    <testcase" + Attribute("classname", suite) + Attribute("name", StepName(record)) +
         Attribute("time", Seconds(record.elapsed_ms));
  if (record.verdict == StepVerdict::kPassed) {
    xml += "/>\n";
    return;
  }
  const bool error = IsError(record.verdict);
  const std::string tag = error ? "error" : "failure";
  const char* type = "mismatch";
  if (record.verdict == StepVerdict::kNoReply) type = "no reply";
  if (record.verdict == StepVerdict::kRefused) type = "refused";
  if (record.verdict == StepVerdict::kStopped) type = "stopped";
  xml += ">\n      <" + tag + Attribute("type", type) +
         Attribute("message", "expected " + record.expected + ", received " + record.received) + ">" +
         XmlEscape("expected: " + record.expected + "\nreceived: " + record.received) + "</" + tag + ">\n";
  if (!record.log.empty()) xml += "      <system-out>" + XmlEscape(record.log) + "</system-out>\n";
  xml += "    </testcase>\n";
}

// A repeated step: one testcase for all its runs; when some failed, the
// first failures whole and how many more there were.
void AppendRepeated(std::string& xml, const std::string& suite, const RepeatedStep& repeated) {
  xml += "    <testcase" + Attribute("classname", suite) + Attribute("name", RepeatedStepName(repeated)) +
         Attribute("time", Seconds(static_cast<uint32_t>(std::min<uint64_t>(repeated.elapsed_ms, UINT32_MAX))));
  if (repeated.failed() == 0) {
    xml += "/>\n";
    return;
  }
  bool error = false;
  std::string text;
  for (const StepRecord& record : repeated.first_failures) {
    error = error || IsError(record.verdict);
    text += "run " + std::to_string(record.run) + ": expected: " + record.expected + "\nreceived: " + record.received + "\n";
  }
  if (repeated.failed() > repeated.first_failures.size())
    text += "and " + std::to_string(repeated.failed() - repeated.first_failures.size()) + " more failed runs\n";
  const std::string tag = error ? "error" : "failure";
  const std::string message = std::to_string(repeated.failed()) + " of " + std::to_string(repeated.runs) +
                              " runs failed";
  xml += ">\n      <" + tag + Attribute("type", error ? "no reply" : "mismatch") + Attribute("message", message) + ">" +
         XmlEscape(text) + "</" + tag + ">\n";
  std::string log;
  for (const StepRecord& record : repeated.first_failures)
    if (!record.log.empty()) log += "run " + std::to_string(record.run) + ":\n" + record.log;
  if (!log.empty()) xml += "      <system-out>" + XmlEscape(log) + "</system-out>\n";
  xml += "    </testcase>\n";
}

struct Counts {
  uint64_t tests = 0, failures = 0, errors = 0, skipped = 0;
};

Counts CountsOf(const DeviceRun& run, bool finally) {
  Counts counts;
  if (!run.connected) {
    if (!finally) counts.tests = counts.errors = 1;
    return counts;
  }
  for (const StepRecord& record : run.result.records) {
    if (record.finally != finally) continue;
    ++counts.tests;
    if (record.verdict == StepVerdict::kFailed || record.verdict == StepVerdict::kRefused) ++counts.failures;
    if (IsError(record.verdict)) ++counts.errors;
  }
  for (const RepeatedStep& repeated : run.result.repeated) {
    if (repeated.finally != finally) continue;
    ++counts.tests;
    if (repeated.failed() == 0) continue;
    bool error = false;
    for (const StepRecord& record : repeated.first_failures) error = error || IsError(record.verdict);
    ++(error ? counts.errors : counts.failures);
  }
  if (!finally) {
    counts.skipped = run.result.not_reached.size();
    counts.tests += counts.skipped;
  }
  return counts;
}

void AppendSuite(std::string& xml, const std::string& plan_name, const DeviceRun& run, bool finally) {
  const std::string suite = plan_name + " @ " + run.device + (finally ? " (.finally)" : "");
  const PlanRunResult& result = run.result;
  const Counts counts = CountsOf(run, finally);
  uint32_t ms = 0;
  for (const StepRecord& record : result.records)
    if (record.finally == finally) ms += record.elapsed_ms;
  for (const RepeatedStep& repeated : result.repeated)
    if (repeated.finally == finally) ms += static_cast<uint32_t>(repeated.elapsed_ms);
  xml += "  <testsuite" + Attribute("name", suite) + Attribute("tests", std::to_string(counts.tests)) +
         Attribute("failures", std::to_string(counts.failures)) + Attribute("errors", std::to_string(counts.errors)) +
         Attribute("skipped", std::to_string(counts.skipped)) + Attribute("time", Seconds(finally ? ms : result.elapsed_ms));
  if (!run.timestamp.empty()) xml += Attribute("timestamp", run.timestamp);
  if (!run.hostname.empty()) xml += Attribute("hostname", run.hostname);
  xml += ">\n";
  auto properties = run.properties;
  if (result.stopped && !finally) properties.emplace_back("interrupted", "the run was stopped before its end");
  if (!properties.empty()) {
    xml += "    <properties>\n";
    for (const auto& [name, value] : properties)
      xml += "      <property" + Attribute("name", name) + Attribute("value", value) + "/>\n";
    xml += "    </properties>\n";
  }
  if (!run.connected && !finally) {
    xml += "    <testcase" + Attribute("classname", suite) + Attribute("name", "connect") + " time=\"0.000\">\n" +
           "      <error type=\"no reply\"" + Attribute("message", run.device + ": " + run.no_link) + "/>\n" +
           "    </testcase>\n";
  }
  for (const StepRecord& record : result.records)
    if (record.finally == finally) AppendTestCase(xml, suite, record);
  for (const RepeatedStep& repeated : result.repeated)
    if (repeated.finally == finally) AppendRepeated(xml, suite, repeated);
  if (!finally) {
    for (const PlanStep* step : result.not_reached) {
      StepRecord record;
      record.step = step;
      xml += "    <testcase" + Attribute("classname", suite) + Attribute("name", StepName(record)) +
             " time=\"0.000\">\n      <skipped" +
             Attribute("message", result.stopped ? "the run was stopped before it" : "the run ended before it") +
             "/>\n    </testcase>\n";
    }
  }
  xml += "  </testsuite>\n";
}

bool HasFinally(const DeviceRun& run) {
  for (const StepRecord& record : run.result.records)
    if (record.finally) return true;
  for (const RepeatedStep& repeated : run.result.repeated)
    if (repeated.finally) return true;
  return false;
}

}  // namespace

std::string XmlEscape(const std::string& text) {
  // What XML cannot hold (control characters, bytes that are no UTF-8) by the
  // log's one rule, line by line: line ends are kept.
  std::string visible;
  for (size_t start = 0; start <= text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    visible += VisibleText(std::string_view(text).substr(start, end - start));
    if (end < text.size()) visible += '\n';
    start = end + 1;
  }
  std::string out;
  out.reserve(visible.size());
  for (char c : visible) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string JUnitReport(const std::string& plan_name, const std::vector<DeviceRun>& runs) {
  Counts total;
  uint32_t ms = 0;
  for (const DeviceRun& run : runs) {
    for (bool finally : {false, true}) {
      const Counts counts = CountsOf(run, finally);
      total.tests += counts.tests;
      total.failures += counts.failures;
      total.errors += counts.errors;
      total.skipped += counts.skipped;
    }
    ms += run.result.elapsed_ms;
  }
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites" + Attribute("name", plan_name) +
                    Attribute("tests", std::to_string(total.tests)) +
                    Attribute("failures", std::to_string(total.failures)) +
                    Attribute("errors", std::to_string(total.errors)) +
                    Attribute("skipped", std::to_string(total.skipped)) + Attribute("time", Seconds(ms)) + ">\n";
  for (const DeviceRun& run : runs) {
    AppendSuite(xml, plan_name, run, false);
    if (HasFinally(run)) AppendSuite(xml, plan_name, run, true);
  }
  return xml + "</testsuites>\n";
}

}  // namespace veritor
