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

bool read_flag(const std::string& name, const std::string& text, bool& out, std::string& reason) {
  if (text != "0" && text != "1") {
    reason = name + " must be 0 or 1, not \"" + text + "\"";
    return false;
  }
  out = text == "1";
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
    TuneSettings& s = query.settings;
    bool ok = true;
    if (name == "token" || name.empty()) {
    } else if (name == "t") {
      ok = read_seconds(value, query.seconds, reason);
    } else if (name == "f1") {
      ok = read_whole(name, value, 0, 100, s.f1, reason);
    } else if (name == "f2") {
      ok = read_whole(name, value, 0, 100, s.f2, reason);
    } else if (name == "sharp") {
      ok = read_whole(name, value, 0, 6, s.sharp, reason);
    } else if (name == "interlace") {
      ok = read_flag(name, value, s.interlace, reason);
    } else if (name == "show_noise") {
      ok = read_flag(name, value, s.show_noise, reason);
    } else if (name == "view") {
      ok = value == "source" || value == "filtered";
      if (ok)
        query.filtered = value == "filtered";
      else
        reason = "view must be source or filtered, not \"" + value + "\"";
    } else {
      reason = "unknown parameter \"" + shortened(name) +
               "\"; known: t, f1, f2, sharp, interlace, show_noise, view, token";
      ok = false;
    }
    if (!ok) return false;
  }
  return true;
}

namespace {

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.12g", value);
  return text;
}

}  // namespace

std::string info_json(const InfoFacts& facts) {
  const InputFacts& f = facts.frames;
  const TuneSettings& s = facts.start;
  std::string json = "{";
  json += "\"input\":" + json_string(facts.input);
  json += ",\"width\":" + std::to_string(f.width);
  json += ",\"height\":" + std::to_string(f.height);
  json += ",\"frame_count\":" + (f.frame_count ? std::to_string(*f.frame_count) : "null");
  json += ",\"duration\":" + number(f.duration);
  json += ",\"frame_rate\":" + number(f.frame_rate);
  json += ",\"module\":" + json_string(facts.module_path);
  json += ",\"filter\":" + json_string(facts.filter_name);
  json += ",\"gpu\":" + std::string(facts.gpu ? "true" : "false");
  json += ",\"gpu_report\":" + json_string(facts.gpu_report);
  json += ",\"start\":{\"t\":" + number(facts.start_seconds);
  json += ",\"f1\":" + std::to_string(s.f1) + ",\"f2\":" + std::to_string(s.f2);
  json += ",\"sharp\":" + std::to_string(s.sharp);
  json += ",\"interlace\":" + std::to_string(s.interlace ? 1 : 0);
  json += ",\"show_noise\":" + std::to_string(s.show_noise ? 1 : 0);
  json += ",\"multithreading\":" + std::to_string(s.multithreading);
  json += ",\"config\":" + json_string(facts.start_line) + "}";
  return json + "}";
}

}  // namespace qnr
