#include "jobs/job_plan.h"

#include <cstdio>
#include <type_traits>

#include "base/digest.h"
#include "base/record_text.h"

namespace qnr {

namespace {

constexpr char kPlanKind[] = "qnr job plan 2";

// --- each kind of value as the text of one line, and back ---

std::string to_text(const std::string& value) { return value; }
void from_text(const std::string&, const std::string& text, std::string& value) { value = text; }

template <class Number>
requires std::is_integral_v<Number> std::string to_text(Number value) {
  return std::to_string(static_cast<int64_t>(value));
}
template <class Number>
requires std::is_integral_v<Number>
void from_text(const std::string& key, const std::string& text, Number& value) {
  TextRecord record;
  record.add(key, text);
  if constexpr (std::is_same_v<Number, bool>) {
    value = record.flag(key);
  } else {
    value = static_cast<Number>(record.number(key));
  }
}

std::string to_text(double seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%.17g", seconds);
  return text;
}
void from_text(const std::string& key, const std::string& text, double& seconds) {
  try {
    size_t used = 0;
    seconds = std::stod(text, &used);
    if (used == text.size()) return;
  } catch (const std::exception&) {
  }
  throw RecordError("its " + key + " is not a number of seconds");
}

std::string to_text(AVRational value) {
  return std::to_string(value.num) + "/" + std::to_string(value.den);
}
void from_text(const std::string& key, const std::string& text, AVRational& value) {
  int used = 0;
  if (std::sscanf(text.c_str(), "%d/%d%n", &value.num, &value.den, &used) != 2 ||
      used != static_cast<int>(text.size())) {
    throw RecordError("its " + key + " is malformed");
  }
}

std::string to_text(Road road) { return road_name(road); }
void from_text(const std::string&, const std::string& text, Road& road) {
  if (!road_from_name(text, road)) throw RecordError("its road is unknown");
}

std::string to_text(const FirstFrame& first) { return first_frame_text(first); }
void from_text(const std::string&, const std::string& text, FirstFrame& first) {
  first = first_frame_from_text(text);
}

// "first last frames digest".
std::string to_text(const SegmentSpan& span) {
  std::string text = std::to_string(span.first_pts) + " " + std::to_string(span.last_pts) + " " +
                     std::to_string(span.frames) + " " + span.pts_digest;
  if (!span.bytes_sha256.empty()) {
    text += " " + std::to_string(span.byte_start) + " " + std::to_string(span.reads_from) + " " +
            span.bytes_sha256;
  }
  return text;
}
void from_text(const std::string&, const std::string& text, SegmentSpan& span) {
  char digest[65] = {};
  char bytes[65] = {};
  long long first = 0, last = 0, frames = 0, start = 0, reads_from = 0;
  int used = 0;
  int used_long = 0;
  const int fields =
      std::sscanf(text.c_str(), "%lld %lld %lld %64s%n %lld %lld %64s%n", &first, &last, &frames,
                  digest, &used, &start, &reads_from, bytes, &used_long);
  const bool with_bytes = fields == 7 && used_long == static_cast<int>(text.size());
  if (!with_bytes && (fields != 4 || used != static_cast<int>(text.size()))) {
    throw RecordError("a segment line is malformed: \"" + text + "\"");
  }
  if (frames <= 0 || start < 0 || reads_from < 0) {
    throw RecordError("a segment line is malformed: \"" + text + "\"");
  }
  span.byte_start = start;
  span.reads_from = reads_from;
  span.bytes_sha256 = bytes;
  span.first_pts = first;
  span.last_pts = last;
  span.frames = frames;
  span.pts_digest = digest;
}

// --- the plan's fields ---

// One field of the plan: its key, its lines, how they are read back, and
// the part of the job it decides, as plan_difference names it (null for
// what the planner finds out rather than what the command asks).
struct PlanField {
  const char* key;
  std::vector<std::string> (*write)(const JobPlan& plan);
  void (*read)(const std::string& key, const std::vector<std::string>& lines, JobPlan& plan);
  const char* decides;
};

// A field of one line.
template <auto Member> PlanField one(const char* key, const char* decides = nullptr) {
  return {key, [](const JobPlan& plan) { return std::vector<std::string>{to_text(plan.*Member)}; },
          [](const std::string& key, const std::vector<std::string>& lines, JobPlan& plan) {
            if (lines.empty()) throw RecordError("it has no " + key);
            from_text(key, lines.front(), plan.*Member);
          },
          decides};
}

// A list, one line per item under the same key.
template <auto Member> PlanField list(const char* key, const char* decides = nullptr) {
  return {key,
          [](const JobPlan& plan) {
            std::vector<std::string> lines;
            for (const auto& item : plan.*Member) lines.push_back(to_text(item));
            return lines;
          },
          [](const std::string& key, const std::vector<std::string>& lines, JobPlan& plan) {
            for (const std::string& line : lines) {
              from_text(key, line, (plan.*Member).emplace_back());
            }
          },
          decides};
}

constexpr char kInputFile[] = "the input file";
constexpr char kInputContent[] = "the input's content (it changed since the plan)";
constexpr char kModule[] = "the filter module";
constexpr char kRoad[] = "the road (CPU or GPU)";
constexpr char kSettings[] = "the filter's settings";
constexpr char kOutputFile[] = "the output file";
constexpr char kEncoding[] = "the codec or the encoder options";
constexpr char kOutputRoad[] = "what is written (--rgb)";
constexpr char kReading[] = "the input's reading (--rate, --strict)";
constexpr char kSegmentLength[] = "the segment length";

// Every field, in the order of the plan's text. A difference is named by the
// first field that differs.
const PlanField kFields[] = {
    one<&JobPlan::qnr_version>("qnr_version"),
    one<&JobPlan::input>("input", kInputFile),
    one<&JobPlan::input_size>("input_size", kInputContent),
    one<&JobPlan::input_mtime>("input_mtime", kInputContent),
    one<&JobPlan::input_fingerprint>("input_fingerprint", kInputContent),
    one<&JobPlan::module>("module"),
    one<&JobPlan::module_sha256>("module_sha256", kModule),
    one<&JobPlan::road>("road", kRoad),
    one<&JobPlan::cpu_only>("cpu_only", kRoad),
    one<&JobPlan::config>("config", kSettings),
    one<&JobPlan::show_noise>("show_noise", kSettings),
    one<&JobPlan::disable>("disable", kSettings),
    one<&JobPlan::interlace>("interlace", kSettings),
    one<&JobPlan::module_rgb>("module_rgb", kOutputRoad),
    one<&JobPlan::output>("output", kOutputFile),
    one<&JobPlan::format>("format", kEncoding),
    one<&JobPlan::codec>("codec", kEncoding),
    list<&JobPlan::encoder_args>("encoder_arg", kEncoding),
    one<&JobPlan::rate>("rate", kReading),
    one<&JobPlan::strict>("strict", kReading),
    one<&JobPlan::overwrite>("overwrite"),
    one<&JobPlan::segment_seconds>("segment_seconds", kSegmentLength),
    one<&JobPlan::video_stream>("video_stream"),
    one<&JobPlan::time_base>("time_base"),
    one<&JobPlan::preroll>("preroll"),
    one<&JobPlan::first_frame>("first_frame"),
    one<&JobPlan::one_segment_because>("one_segment_because"),
    list<&JobPlan::segments>("segment"),
};

}  // namespace

int64_t JobPlan::frames() const {
  int64_t total = 0;
  for (const SegmentSpan& span : segments) total += span.frames;
  return total;
}

std::string plan_text(const JobPlan& plan) {
  TextRecord record;
  record.kind = kPlanKind;
  for (const PlanField& field : kFields) {
    for (const std::string& line : field.write(plan)) record.add(field.key, line);
  }
  return to_text(record);
}

JobPlan parse_plan(const std::string& text) {
  const TextRecord record = parse_text_record(text, kPlanKind);
  JobPlan plan;
  for (const PlanField& field : kFields) field.read(field.key, record.all(field.key), plan);
  if (plan.rate.num < 0 || plan.rate.den <= 0) throw RecordError("its rate is malformed");
  if (plan.time_base.num <= 0 || plan.time_base.den <= 0) {
    throw RecordError("its time base is malformed");
  }
  if (plan.segments.empty()) throw RecordError("it has no segments");
  for (size_t k = 1; k < plan.segments.size(); ++k) {
    const SegmentSpan& before = plan.segments[k - 1];
    if (before.last_pts < before.first_pts || plan.segments[k].first_pts <= before.last_pts) {
      throw RecordError("its segments overlap");
    }
  }
  return plan;
}

std::string plan_difference(const JobPlan& planned, const JobPlan& wanted) {
  for (const PlanField& field : kFields) {
    if (field.decides != nullptr && field.write(planned) != field.write(wanted)) {
      return field.decides;
    }
  }
  return "";
}

void PtsDigest::add(int64_t pts) { hash_.update_number(pts); }

std::string PtsDigest::finish() { return hash_.hex(); }

}  // namespace qnr
