#include "tune/tune_api.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "base/json.h"

namespace qnr {

namespace {

bool read_whole(const std::string& name, const std::string& text, int32_t low, int32_t high,
                int32_t& out, std::string& reason) {
  int32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value < low || value > high) {
    reason = name + " must be a whole number from " + std::to_string(low) + " to " +
             std::to_string(high) + ", not \"" + text + "\"";
    return false;
  }
  out = value;
  return true;
}

bool read_flag(const std::string& name, const std::string& text, int32_t& out,
               std::string& reason) {
  if (text != "0" && text != "1") {
    reason = name + " must be 0 or 1, not \"" + text + "\"";
    return false;
  }
  out = text == "1" ? 1 : 0;
  return true;
}

bool read_seconds(const std::string& text, double& out, std::string& reason) {
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value, std::chars_format::fixed);
  if (text.empty() || ec != std::errc() || ptr != end || !std::isfinite(value) || value < 0) {
    reason = "t must be a time in seconds, 0 or more, not \"" + text + "\"";
    return false;
  }
  out = value;
  return true;
}

// Shown in a reply the size of a request line at most.
std::string shortened(const std::string& text) {
  return text.size() <= 40 ? text : text.substr(0, 40) + "...";
}

// A page's name for itself: 1 to 32 letters, digits, '-' or '_'.
bool read_page(const std::string& text, std::string& out, std::string& reason) {
  const bool ok = !text.empty() && text.size() <= 32 &&
                  text.find_first_not_of(
                      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                      "0123456789-_") == std::string::npos;
  if (!ok) reason = "page must be 1 to 32 letters, digits, - or _, not \"" + text + "\"";
  if (ok) out = text;
  return ok;
}

bool read_count(const std::string& text, std::optional<uint64_t>& out, std::string& reason) {
  uint64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) {
    reason = "seek must be a whole number, 0 or more, not \"" + text + "\"";
    return false;
  }
  out = value;
  return true;
}

}  // namespace

bool read_frame_query(const std::multimap<std::string, std::string>& params, FrameQuery& query,
                      std::string& reason) {
  for (auto it = params.begin(); it != params.end(); it = params.upper_bound(it->first)) {
    const std::string& name = it->first;
    if (params.count(name) > 1) {
      reason = shortened(name) + " is given more than once";
      return false;
    }
    const std::string value = shortened(it->second);
    bool ok = true;
    if (name == "token" || name.empty()) {
    } else if (name == "t") {
      ok = read_seconds(value, query.seconds, reason);
    } else if (const vdhost::SettingInfo* info = vdhost::find_setting(name)) {
      std::optional<int32_t>& setting = query.settings[info->setting];
      int32_t read = 0;
      ok = info->kind == vdhost::SettingKind::flag
               ? read_flag(name, value, read, reason)
               : read_whole(name, value, info->minimum, info->maximum, read, reason);
      if (ok) setting = read;
    } else if (name == "page") {
      ok = read_page(value, query.page, reason);
    } else if (name == "seek") {
      ok = read_count(value, query.seek, reason);
    } else if (name == "view") {
      ok = value == "source" || value == "filtered" || value == "module";
      if (ok) {
        query.filtered = value != "source";
        query.module = value == "module";
      } else {
        reason = "view must be source, filtered or module, not \"" + value + "\"";
      }
    } else {
      std::string known = "t";
      for (const vdhost::SettingInfo& info : vdhost::kSettingTable)
        known += ", " + std::string(info.name);
      reason = "unknown parameter \"" + shortened(name) + "\"; known: " + known +
               ", view, page, seek, token";
      ok = false;
    }
    if (!ok) return false;
  }
  if (query.page.empty() != !query.seek) {
    reason = "page and seek are given together or not at all";
    return false;
  }
  return true;
}

namespace {

// A position in a line, or null for none.
std::string position(int at) { return at >= 0 ? std::to_string(at) : "null"; }

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.12g", value);
  return text;
}

// The settings table as the page builds its controls from it.
std::string settings_json() {
  std::string json = "[";
  for (const vdhost::SettingInfo& info : vdhost::kSettingTable) {
    const bool level = info.kind == vdhost::SettingKind::level;
    json += json.size() > 1 ? ",{" : "{";
    json += "\"name\":" + json_string(info.name);
    json += ",\"label\":" + json_string(info.label);
    json += ",\"kind\":" + json_string(level ? "level" : "flag");
    json += ",\"minimum\":" + std::to_string(info.minimum);
    json += ",\"maximum\":" + std::to_string(info.maximum);
    json += ",\"default\":" + std::to_string(info.default_value);
    json += ",\"config_position\":" + position(info.config_position);
    json += ",\"option\":" + json_string(vdhost::option_name(info));
    json += ",\"frei0r_position\":" + position(info.frei0r_position);
    json += ",\"frei0r_name\":" + json_string(vdhost::frei0r_name(info)) + "}";
  }
  return json + "]";
}

}  // namespace

std::string info_json(const InfoFacts& facts) {
  const InputFacts& f = facts.frames;
  std::string json = "{";
  json += "\"input\":" + json_string(facts.input);
  json += ",\"width\":" + std::to_string(f.width);
  json += ",\"height\":" + std::to_string(f.height);
  json += ",\"frame_count\":" + (f.frame_count ? std::to_string(*f.frame_count) : "null");
  json += ",\"duration\":" + number(f.duration);
  json += ",\"frame_rate\":" + number(f.frame_rate);
  json += ",\"source\":" + source_format_json(f.format);
  json += ",\"recalled\":" + json_string(facts.recalled);
  json += ",\"module\":" + json_string(facts.module_path);
  json += ",\"filter\":" + json_string(facts.filter_name);
  json += ",\"gpu\":" + std::string(facts.gpu ? "true" : "false");
  json += ",\"gpu_report\":" + json_string(facts.gpu_report);
  json += ",\"settings\":" + settings_json();
  json += ",\"start\":{\"t\":" + number(facts.start_seconds);
  for (const vdhost::SettingInfo& info : vdhost::kSettingTable) {
    json += ",\"";
    json += info.name;
    json += "\":" + std::to_string(facts.start[info.setting].value_or(0));
  }
  // The module's line for the starting values: its command and every value,
  // the fifth (multithreading) as the instance reported it.
  vdhost::ScriptCall line;
  std::string error;
  vdhost::parse_script_line(facts.start_line, line, error);
  const std::string multithreading =
      line.arguments.size() > 4 ? std::to_string(line.arguments[4]) : "null";
  json += ",\"multithreading\":" + multithreading;
  json += ",\"config\":" + json_string(facts.start_line);
  json += ",\"config_command\":" + json_string(line.name);
  json += ",\"config_arguments\":[";
  for (size_t i = 0; i < line.arguments.size(); ++i) {
    if (i > 0) json += ",";
    json += std::to_string(line.arguments[i]);
  }
  return json + "]}}";
}

}  // namespace qnr
