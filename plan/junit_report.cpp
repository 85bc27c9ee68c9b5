#include "plan/junit_report.h"

#include <cstdio>

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

void AppendTestCase(std::string& xml, const std::string& suite, const StepRecord& record) {
  xml += "    <testcase" + Attribute("classname", suite) + Attribute("name", StepName(record)) +
         Attribute("time", Seconds(record.elapsed_ms));
  if (record.verdict == StepVerdict::kPassed) {
    xml += "/>\n";
    return;
  }
  const bool error = record.verdict == StepVerdict::kNoReply || record.verdict == StepVerdict::kStopped;
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
    if (record.verdict == StepVerdict::kNoReply || record.verdict == StepVerdict::kStopped) ++counts.errors;
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
  return false;
}

}  // namespace

std::string XmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default:
        if ((byte < 0x20 && c != '\n' && c != '\t') || byte >= 0x7F) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X", byte);
          out += hex;
        } else {
          out += c;
        }
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
