// A long job's folder, which may be shared between machines (NFS): the plan,
// and for each finished segment its video file and a done record. Every file
// is written under a name of its own (host, process, random) and renamed into
// place once complete and synced, so a killed worker leaves nothing that
// counts, and no lock is needed: two workers on one segment each write their
// own file, and whichever done record is renamed last names a complete one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/record_text.h"
#include "jobs/job_plan.h"

namespace qnr {

// What a segment's done record says: the file that holds the segment, which
// frames it holds and how its video is coded.
struct SegmentDone {
  std::string plan_id;  // the digest of the plan it was made for
  int64_t segment = 0;
  std::string file;  // its name in the folder
  int64_t size = 0;
  std::string sha256;
  int64_t frames = 0;
  int64_t first_pts = 0;
  int64_t last_pts = 0;
  std::string pts_digest;
  int64_t reorder_depth = 0;  // how far packets run ahead of their display order
  TextRecord video;           // the coded video's fields (coded_video.h)
};

enum class SegmentState { done, running, missing };

struct SegmentStatus {
  SegmentState state = SegmentState::missing;
  std::string detail;  // why a segment is not done although it has a record; the running host
  std::optional<SegmentDone> done;
};

class JobFolder {
 public:
  explicit JobFolder(std::string path);
  const std::string& path() const { return path_; }

  bool has_plan() const;
  // The plan and its id. Throws Failure (cannot retry) when it is missing or damaged.
  JobPlan read_plan(std::string* id = nullptr) const;
  // Returns the new plan's id.
  std::string write_plan(const JobPlan& plan) const;

  std::string segment_base(int64_t k) const;  // "segment-00003"
  std::string in_folder(const std::string& name) const { return path_ + "/" + name; }
  // A name no other writer uses, for a file on its way to `base`.
  std::string temp_name(const std::string& base) const;

  // Done only when the record is for this plan and segment, its frames lie
  // in the segment and its file is there with its size (and, with `verify`,
  // its digest).
  SegmentStatus status(const JobPlan& plan, const std::string& plan_id, int64_t k,
                       bool verify) const;
  // Records the segment as done: the record renamed into place over any other.
  void write_done(const SegmentDone& done) const;
  // Removes what this host's dead workers left of segment k and, given the
  // file the done record names, the segment's other files (a lost race's).
  void tidy(int64_t k, const std::string& keep_file) const;

  // Makes the folder for a new plan. Throws Failure when it holds anything
  // but a job's files.
  void make_for_plan() const;
  // Removes the job's files and then the folder; false when something else
  // is left there (the folder then stays).
  bool remove() const;

 private:
  std::string path_;
};

// A job's folder with its plan read, as every command but qnr plan starts.
struct OpenedJob {
  JobFolder folder;
  JobPlan plan;
  std::string plan_id;
};
// Throws Failure (cannot retry) when the folder holds no plan or a damaged one.
OpenedJob open_job(const std::string& dir);

}  // namespace qnr
