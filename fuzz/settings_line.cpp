// Fuzz target: the settings line, the one piece of persisted state. Any text
// goes through the host library's script-line parser, as qnr's --config, job
// plans and saved scripts hand it over; a line it accepts must read the same
// when written back, with or without the host's prefix. Whatever names the
// module's Config with five integers is called through the module's script
// table, and the module's own command line and summary are then read back
// into buffers of every length, fenced by the allocation's end.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "linked_module.h"
#include "vdhost/instance.h"
#include "vdhost/script_line.h"
#include "vdhost/settings.h"

namespace {

using qnr_fuzz::require;

std::string canonical(const vdhost::ScriptCall& call) {
  std::string line = call.name + "(";
  for (size_t i = 0; i < call.arguments.size(); ++i) {
    line += (i > 0 ? "," : "") + std::to_string(call.arguments[i]);
  }
  return line + ")";
}

void check_reads_back(const std::string& line, const vdhost::ScriptCall& expected) {
  vdhost::ScriptCall again;
  std::string error;
  require(vdhost::parse_script_line(line, again, error), "a written-back line parses");
  require(again.name == expected.name && again.arguments == expected.arguments,
          "a written-back line reads the same");
}

// The module's command line into a buffer of exactly `length` bytes: true, a
// NUL-ended prefix of the whole line, nothing written past the end.
void check_script_string(vdhost::FilterInstance& instance, int32_t length,
                         const std::string& whole) {
  const FilterDefinition& d = instance.definition();
  const size_t room = length > 0 ? static_cast<size_t>(length) : 0;
  auto buffer = std::make_unique<char[]>(room + 1);  // one byte the module may not touch
  std::memset(buffer.get(), '#', room + 1);
  const bool wrote = d.script_string(&instance.activation(), nullptr, buffer.get(), length);
  require(wrote, "the script-string callback reports a line");
  require(buffer[room] == '#', "the command line stays inside the host's buffer");
  if (room == 0) return;
  const size_t kept = std::min(room - 1, whole.size());
  require(std::memcmp(buffer.get(), whole.data(), kept) == 0 && buffer[kept] == '\0',
          "a short buffer holds the start of the command line");
}

void check_config(vdhost::FilterInstance& instance, const std::vector<int32_t>& a,
                  int32_t short_length) {
  std::string line;
  require(instance.script_string(line), "the module writes its command line");
  char expected[128];
  std::snprintf(expected, sizeof expected, "Config(%d,%d,%d,%d,%d)", a[0], a[1], a[2], a[3], a[4]);
  require(line == expected, "the command line carries the values Config stored");
  std::snprintf(expected, sizeof expected, " (F1-%d,F2-%d,S-%d)", a[0], a[1], a[2]);
  // The summary's buffer has no stated size: 256 bytes, and not one more.
  auto summary = std::make_unique<char[]>(256);
  instance.definition().string(&instance.activation(), nullptr, summary.get());
  require(std::strcmp(summary.get(), expected) == 0, "the summary carries the levels and Sharp");
  check_script_string(instance, short_length, line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const auto short_length = static_cast<int32_t>(in.ConsumeIntegralInRange(-2, 80));
  const bool through_settings = in.ConsumeBool();
  const std::string line = in.ConsumeRemainingBytesAsString();

  vdhost::ScriptCall call;
  std::string error;
  if (!vdhost::parse_script_line(line, call, error)) {
    require(!error.empty(), "a refused line comes with a message");
    return 0;
  }
  check_reads_back(canonical(call), call);
  check_reads_back("VirtualDub.video.filters.instance[7]." + canonical(call) + ";", call);

  const vdhost::FilterModule& module = qnr_fuzz::linked_module();
  vdhost::FilterInstance instance(module, *module.filter());
  require(instance.init() == 0, "init succeeds");
  const bool is_config = call.name == "Config" && call.arguments.size() == 5;
  if (through_settings && call.arguments.size() >= 4) {
    // As qnr and the frei0r plug-in apply settings: the first four values
    // through Config, Show noise and Disable into the record.
    vdhost::Settings s;
    s[vdhost::Setting::level_f1] = call.arguments[0];
    s[vdhost::Setting::level_f2] = call.arguments[1];
    s[vdhost::Setting::sharp] = call.arguments[2];
    s[vdhost::Setting::interlace] = call.arguments[3];
    s[vdhost::Setting::show_noise] = call.arguments.size() > 4 && call.arguments[4] != 0 ? 1 : 0;
    require(vdhost::apply_settings(instance, s) == vdhost::SettingsOutcome::applied,
            "any four values apply");
    std::vector<int32_t> stored(call.arguments.begin(), call.arguments.begin() + 4);
    std::string before;
    instance.script_string(before);
    vdhost::ScriptCall defaults;
    require(vdhost::parse_script_line(before, defaults, error), "the module's line parses");
    stored.push_back(defaults.arguments[4]);  // multithreading keeps its value
    check_config(instance, stored, short_length);
    return 0;
  }
  const bool called = instance.call_script(call.name, call.arguments, error);
  require(called == is_config, "the module takes Config with five integers and nothing else");
  require(called || !error.empty(), "a refused command comes with a message");
  if (called) check_config(instance, call.arguments, short_length);
  return 0;
}
