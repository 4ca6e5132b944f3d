#include "jobs/job_folder.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/digest.h"
#include "base/failure.h"
#include "base/files.h"
#include "base/machine.h"

namespace qnr {

namespace {

constexpr char kDoneKind[] = "qnr segment done 1";
// A file of another machine's worker that has not changed for this long is
// taken for abandoned.
constexpr int kRunningSeconds = 120;
// A segment file that no done record names is removed only when older than
// this: a worker that renamed it a moment ago is about to record it.
constexpr int kOrphanSeconds = 600;

std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  }
  ::closedir(dir);
  return names;
}

// "<base>.tmp.<host>.<pid>.<random>": the host and process that write it.
bool writer_of(const std::string& name, const std::string& base, std::string& host, pid_t& pid) {
  const std::string prefix = base + ".tmp.";
  if (!name.starts_with(prefix)) return false;
  const std::string rest = name.substr(prefix.size());
  const size_t dot = rest.find('.');
  const size_t dot2 = dot == std::string::npos ? dot : rest.find('.', dot + 1);
  if (dot2 == std::string::npos) return false;
  host = rest.substr(0, dot);
  pid = static_cast<pid_t>(std::atol(rest.substr(dot + 1, dot2 - dot - 1).c_str()));
  return pid > 0;
}

bool process_lives(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

int64_t seconds_since_change(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return INT64_MAX;
  return static_cast<int64_t>(std::time(nullptr)) - static_cast<int64_t>(info.st_mtime);
}

SegmentDone parse_done(const std::string& text) {
  const TextRecord record = parse_text_record(text, kDoneKind);
  SegmentDone done;
  done.plan_id = record.text("plan");
  done.segment = record.number("segment");
  done.file = record.text("file");
  done.size = record.number("size");
  done.sha256 = record.text("sha256");
  done.frames = record.number("frames");
  done.first_pts = record.number("first_pts");
  done.last_pts = record.number("last_pts");
  done.pts_digest = record.text("pts_digest");
  done.reorder_depth = record.number("reorder_depth");
  for (const auto& [key, value] : record.fields) {
    if (key.starts_with("video.")) done.video.add(key, value);
  }
  if (done.file.empty() || done.file.find('/') != std::string::npos || done.file[0] == '.') {
    throw RecordError("it names no file in the folder");
  }
  return done;
}

// The frames a segment holds lie between its first timestamp and the next
// segment's; which they are, a straight decode decides (mostly the plan's).
bool within_segment(const JobPlan& plan, int64_t k, const SegmentDone& done) {
  const auto index = static_cast<size_t>(k);
  const bool has_end = index + 1 < plan.segments.size();
  return done.frames > 0 && (k == 0 || done.first_pts >= plan.segments[index].first_pts) &&
         (!has_end || done.last_pts < plan.segments[index + 1].first_pts);
}

}  // namespace

JobFolder::JobFolder(std::string path) : path_(std::move(path)) {
  while (path_.size() > 1 && path_.back() == '/') path_.pop_back();
}

bool JobFolder::has_plan() const { return ::access(in_folder("plan").c_str(), F_OK) == 0; }

JobPlan JobFolder::read_plan(std::string* id) const {
  bool missing = false;
  const std::string text = read_small_file(in_folder("plan"), &missing);
  if (missing) {
    throw Failure("the folder " + path_ + " holds no job plan (make one with qnr plan)",
                  kExitCannotRetry);
  }
  try {
    JobPlan plan = parse_plan(text);
    if (id != nullptr) {
      Sha256 hash;
      hash.update(text.data(), text.size());
      *id = hash.hex();
    }
    return plan;
  } catch (const RecordError& error) {
    throw Failure("the job plan in " + path_ + " is damaged: " + error.what(), kExitCannotRetry);
  }
}

std::string JobFolder::write_plan(const JobPlan& plan) const {
  const std::string text = plan_text(plan);
  write_file_atomically(in_folder("plan"), text);
  Sha256 hash;
  hash.update(text.data(), text.size());
  return hash.hex();
}

std::string JobFolder::segment_base(int64_t k) const {
  char name[64];
  std::snprintf(name, sizeof name, "segment-%05lld", static_cast<long long>(k));
  return name;
}

std::string JobFolder::temp_name(const std::string& base) const {
  return base + ".tmp." + host_name() + "." + std::to_string(::getpid()) + "." + random_letters(8);
}

SegmentStatus JobFolder::status(const JobPlan& plan, const std::string& plan_id, int64_t k,
                                bool verify) const {
  SegmentStatus status;
  const std::string base = segment_base(k);
  bool missing = false;
  const std::string text = read_small_file(in_folder(base + ".done"), &missing);
  if (!missing) {
    try {
      SegmentDone done = parse_done(text);
      struct stat info {};
      const std::string file = in_folder(done.file);
      if (done.plan_id != plan_id || done.segment != k) {
        status.detail = "its done record belongs to another plan";
      } else if (!within_segment(plan, k, done)) {
        status.detail = "its done record lists frames outside the segment";
      } else if (::stat(file.c_str(), &info) != 0) {
        status.detail = "its file " + done.file + " is missing";
      } else if (info.st_size != done.size) {
        status.detail = "its file " + done.file + " has " + std::to_string(info.st_size) +
                        " bytes where " + std::to_string(done.size) + " were written";
      } else if (verify && sha256_of_file(file) != done.sha256) {
        status.detail = "its file " + done.file + " is damaged (its checksum differs)";
      } else {
        status.state = SegmentState::done;
        status.done = std::move(done);
        return status;
      }
    } catch (const RecordError& error) {
      status.detail = std::string("its done record is damaged: ") + error.what();
    }
  }
  const std::string me = host_name();
  for (const std::string& name : names_in(path_)) {
    std::string host;
    pid_t pid = 0;
    if (!writer_of(name, base, host, pid)) continue;
    const bool alive =
        host == me ? process_lives(pid) : seconds_since_change(in_folder(name)) < kRunningSeconds;
    if (alive) {
      status.state = SegmentState::running;
      status.detail = "on " + host + " (process " + std::to_string(pid) + ")";
      break;
    }
  }
  return status;
}

void JobFolder::write_done(const SegmentDone& done) const {
  TextRecord record;
  record.kind = kDoneKind;
  record.add("plan", done.plan_id);
  record.add_number("segment", done.segment);
  record.add("file", done.file);
  record.add_number("size", done.size);
  record.add("sha256", done.sha256);
  record.add_number("frames", done.frames);
  record.add_number("first_pts", done.first_pts);
  record.add_number("last_pts", done.last_pts);
  record.add("pts_digest", done.pts_digest);
  record.add_number("reorder_depth", done.reorder_depth);
  for (const auto& [key, value] : done.video.fields) record.add(key, value);
  write_file_atomically(in_folder(segment_base(done.segment) + ".done"), to_text(record));
}

void JobFolder::tidy(int64_t k, const std::string& keep_file) const {
  const std::string base = segment_base(k);
  const std::string me = host_name();
  for (const std::string& name : names_in(path_)) {
    if (!name.starts_with(base + ".")) continue;
    std::string host;
    pid_t pid = 0;
    const bool left_by_dead = writer_of(name, base, host, pid) && host == me && !process_lives(pid);
    const bool orphan = !keep_file.empty() && name.ends_with(".video") && name != keep_file &&
                        seconds_since_change(in_folder(name)) > kOrphanSeconds;
    if (left_by_dead || orphan) ::unlink(in_folder(name).c_str());
  }
}

namespace {

// The names a job writes: its plan, its segments' files and records, and
// those on their way there.
bool job_file(const std::string& name) {
  return name == "plan" || name.starts_with("plan.tmp.") || name.starts_with("segment-");
}

}  // namespace

void JobFolder::make_for_plan() const {
  if (::mkdir(path_.c_str(), 0777) == 0) return;
  if (errno != EEXIST) {
    throw Failure("cannot make the job folder " + path_ + ": " + std::strerror(errno));
  }
  struct stat info {};
  if (::stat(path_.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    throw Failure(path_ + " is not a folder; name the job's folder with --job", kExitUsage);
  }
  for (const std::string& name : names_in(path_)) {
    if (!job_file(name)) {
      throw Failure("the folder " + path_ + " holds other files (" + name +
                        "); name a new or empty folder for the job with --job",
                    kExitUsage);
    }
  }
}

bool JobFolder::remove() const {
  for (const std::string& name : names_in(path_)) {
    if (job_file(name)) ::unlink(in_folder(name).c_str());
  }
  return ::rmdir(path_.c_str()) == 0;
}

OpenedJob open_job(const std::string& dir) {
  OpenedJob job{JobFolder(dir), {}, {}};
  job.plan = job.folder.read_plan(&job.plan_id);
  return job;
}

}  // namespace qnr
