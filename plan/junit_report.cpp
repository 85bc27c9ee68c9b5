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
  const bool error = record.verdict == StepVerdict::kNoReply;
  const std::string tag = error ? "error" : "failure";
  const std::string type = error ? "no reply" : record.verdict == StepVerdict::kRefused ? "refused" : "mismatch";
  xml += ">\n      <" + tag + Attribute("type", type) +
         Attribute("message", "expected " + record.expected + ", received " + record.received) + ">" +
         XmlEscape("expected: " + record.expected + "\nreceived: " + record.received) + "</" + tag + ">\n";
  xml += "    </testcase>\n";
}

void AppendSuite(std::string& xml, const std::string& plan_name, const DeviceRun& run) {
  const std::string suite = plan_name + " @ " + run.device;
  const PlanRunResult& result = run.result;
  const uint64_t errors = result.no_reply + (run.connected ? 0 : 1);
  xml += "  <testsuite" + Attribute("name", suite) +
         Attribute("tests", std::to_string(result.records.size() + (run.connected ? 0 : 1))) +
         Attribute("failures", std::to_string(result.failed)) + Attribute("errors", std::to_string(errors)) +
         Attribute("time", Seconds(result.elapsed_ms)) + ">\n";
  if (!run.connected) {
    xml += "    <testcase" + Attribute("classname", suite) + Attribute("name", "connect") + " time=\"0.000\">\n" +
           "      <error type=\"no reply\"" + Attribute("message", "the link to " + run.device + " did not open") +
           "/>\n    </testcase>\n";
  }
  for (const StepRecord& record : result.records) AppendTestCase(xml, suite, record);
  xml += "  </testsuite>\n";
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
  uint64_t tests = 0, failures = 0, errors = 0;
  uint32_t ms = 0;
  for (const DeviceRun& run : runs) {
    tests += run.result.records.size() + (run.connected ? 0 : 1);
    failures += run.result.failed;
    errors += run.result.no_reply + (run.connected ? 0 : 1);
    ms += run.result.elapsed_ms;
  }
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites" + Attribute("name", plan_name) +
                    Attribute("tests", std::to_string(tests)) + Attribute("failures", std::to_string(failures)) +
                    Attribute("errors", std::to_string(errors)) + Attribute("time", Seconds(ms)) + ">\n";
  for (const DeviceRun& run : runs) AppendSuite(xml, plan_name, run);
  return xml + "</testsuites>\n";
}

}  // namespace veritor
