#include "jobs/job_plan.h"

#include <cstdio>

#include "base/digest.h"
#include "base/record_text.h"

namespace qnr {

namespace {

constexpr char kPlanKind[] = "qnr job plan 1";

std::string seconds_text(double seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%.17g", seconds);
  return text;
}

double seconds_value(const TextRecord& record, const std::string& key) {
  const std::string& text = record.text(key);
  try {
    size_t used = 0;
    const double value = std::stod(text, &used);
    if (used == text.size()) return value;
  } catch (const std::exception&) {
  }
  throw RecordError("its " + key + " is not a number of seconds");
}

// "num/den" with den > 0 and num >= `least_num`.
void read_fraction(const TextRecord& record, const std::string& key, const std::string& what,
                   int least_num, int& num, int& den) {
  if (std::sscanf(record.text(key).c_str(), "%d/%d", &num, &den) != 2 || num < least_num ||
      den <= 0) {
    throw RecordError("its " + what + " is malformed");
  }
}

// "first last frames digest" on one line per segment.
std::string span_text(const SegmentSpan& span) {
  return std::to_string(span.first_pts) + " " + std::to_string(span.last_pts) + " " +
         std::to_string(span.frames) + " " + span.pts_digest;
}

SegmentSpan span_value(const std::string& text) {
  SegmentSpan span;
  char digest[65] = {};
  long long first = 0, last = 0, frames = 0;
  int used = 0;
  if (std::sscanf(text.c_str(), "%lld %lld %lld %64s%n", &first, &last, &frames, digest, &used) !=
          4 ||
      used != static_cast<int>(text.size()) || frames <= 0) {
    throw RecordError("a segment line is malformed: \"" + text + "\"");
  }
  span.first_pts = first;
  span.last_pts = last;
  span.frames = frames;
  span.pts_digest = digest;
  return span;
}

}  // namespace

int64_t JobPlan::frames() const {
  int64_t total = 0;
  for (const SegmentSpan& span : segments) total += span.frames;
  return total;
}

std::string plan_text(const JobPlan& plan) {
  TextRecord record;
  record.kind = kPlanKind;
  record.add("qnr_version", plan.qnr_version);
  record.add("input", plan.input);
  record.add_number("input_size", plan.input_size);
  record.add_number("input_mtime", plan.input_mtime);
  record.add("input_fingerprint", plan.input_fingerprint);
  record.add("module", plan.module);
  record.add("module_sha256", plan.module_sha256);
  record.add("road", road_name(plan.road));
  record.add_number("cpu_only", plan.cpu_only);
  record.add("config", plan.config);
  record.add_number("show_noise", plan.show_noise);
  record.add_number("disable", plan.disable);
  record.add_number("interlace", plan.interlace);
  record.add("rate", std::to_string(plan.rate_num) + "/" + std::to_string(plan.rate_den));
  record.add_number("strict", plan.strict);
  record.add("output", plan.output);
  record.add("format", plan.format);
  record.add("codec", plan.codec);
  for (const std::string& arg : plan.encoder_args) record.add("encoder_arg", arg);
  record.add_number("overwrite", plan.overwrite);
  record.add("segment_seconds", seconds_text(plan.segment_seconds));
  record.add_number("video_stream", plan.video_stream);
  record.add("time_base",
             std::to_string(plan.time_base_num) + "/" + std::to_string(plan.time_base_den));
  record.add_number("preroll", plan.preroll);
  record.add("one_segment_because", plan.one_reason);
  for (const SegmentSpan& span : plan.segments) record.add("segment", span_text(span));
  return to_text(record);
}

JobPlan parse_plan(const std::string& text) {
  const TextRecord record = parse_text_record(text, kPlanKind);
  JobPlan plan;
  plan.qnr_version = record.text("qnr_version");
  plan.input = record.text("input");
  plan.input_size = record.number("input_size");
  plan.input_mtime = record.number("input_mtime");
  plan.input_fingerprint = record.text("input_fingerprint");
  plan.module = record.text("module");
  plan.module_sha256 = record.text("module_sha256");
  if (!road_from_name(record.text("road"), plan.road)) throw RecordError("its road is unknown");
  plan.cpu_only = record.flag("cpu_only");
  plan.config = record.text("config");
  plan.show_noise = record.flag("show_noise");
  plan.disable = record.flag("disable");
  plan.interlace = record.flag("interlace");
  read_fraction(record, "rate", "rate", 0, plan.rate_num, plan.rate_den);
  plan.strict = record.flag("strict");
  plan.output = record.text("output");
  plan.format = record.text("format");
  plan.codec = record.text("codec");
  plan.encoder_args = record.all("encoder_arg");
  plan.overwrite = record.flag("overwrite");
  plan.segment_seconds = seconds_value(record, "segment_seconds");
  plan.video_stream = static_cast<int>(record.number("video_stream"));
  read_fraction(record, "time_base", "time base", 1, plan.time_base_num, plan.time_base_den);
  plan.preroll = record.number("preroll");
  plan.one_reason = record.text("one_segment_because");
  for (const std::string& line : record.all("segment")) plan.segments.push_back(span_value(line));
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
  struct Part {
    bool same;
    std::string what;
  };
  const Part parts[] = {
      {planned.input == wanted.input, "the input file"},
      {planned.input_size == wanted.input_size && planned.input_mtime == wanted.input_mtime &&
           planned.input_fingerprint == wanted.input_fingerprint,
       "the input's content (it changed since the plan)"},
      {planned.module_sha256 == wanted.module_sha256, "the filter module"},
      {planned.road == wanted.road && planned.cpu_only == wanted.cpu_only, "the road (CPU or GPU)"},
      {planned.config == wanted.config && planned.show_noise == wanted.show_noise &&
           planned.disable == wanted.disable && planned.interlace == wanted.interlace,
       "the filter's settings"},
      {planned.output == wanted.output, "the output file"},
      {planned.format == wanted.format && planned.codec == wanted.codec &&
           planned.encoder_args == wanted.encoder_args,
       "the codec or the encoder options"},
      {planned.rate_num == wanted.rate_num && planned.rate_den == wanted.rate_den &&
           planned.strict == wanted.strict,
       "the input's reading (--rate, --strict)"},
      {planned.segment_seconds == wanted.segment_seconds, "the segment length"},
  };
  for (const Part& part : parts) {
    if (!part.same) return part.what;
  }
  return "";
}

void PtsDigest::add(int64_t pts) { hash_.update_number(pts); }

std::string PtsDigest::finish() { return hash_.hex(); }

}  // namespace qnr
