// What makes "run the same command again" hold after the join: a record,
// written into the job's folder before the output gets its name, of the
// file the join made (device, inode, size), so that a command that finds
// that very file in place knows the job is finished (after a kill during
// the folder's removal, or a second run of the same job at the same time);
// and a claim that lets one process at a time join a job.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>

#include "jobs/job_folder.h"

namespace qnr {

struct JoinedOutput {
  std::string plan_id;
  std::string output;  // absolute path
  int64_t device = 0;
  int64_t inode = 0;
  int64_t size = 0;
};

// Written and synced before the output is linked into place. Throws Failure.
void write_joined(const JobFolder& folder, const JoinedOutput& joined, const struct stat& file);

// The output an earlier join of the job in `dir` made, when that file is
// still in place as made; the folder (or what a kill left of its removal)
// is then removed, unless `keep`. nullopt when no join finished there.
std::optional<std::string> finished_output(const std::string& dir, bool keep);

// One joiner at a time: a file "join.tmp.<host>.<pid>.<random>" in the
// folder, kept only by a process that found no other live one beside its
// own (two at once both step back and try again). A process that will join
// later (one waiting its turn, or a run of the job still making segments)
// marks it with "waiting.tmp.<host>.<pid>.<random>", so that the joiner
// leaves the folder, and the joined record in it, for that process to find.
class JoinClaim {
 public:
  explicit JoinClaim(const JobFolder& folder);
  ~JoinClaim();  // removes its files
  JoinClaim(const JoinClaim&) = delete;
  JoinClaim& operator=(const JoinClaim&) = delete;

  // Whether this process may join now; when not, it is marked as waiting.
  bool take();
  // Marks this process as one that will join later.
  void mark_waiting();
  // Whether another live process waits to join: the folder is then left to
  // it to remove, after it has seen the joined record.
  bool others_waiting() const;
  // Keeps the claim and the mark fresh for other machines (a long join, a
  // long segment): cheap to call often.
  void refresh();

 private:
  // Whether a live file of `base` other than `mine` is in the folder.
  bool other_live(const std::string& base, const std::string& mine) const;
  std::string make_file(const std::string& base) const;

  JobFolder folder_;
  std::string claim_;    // "" while not held
  std::string waiting_;  // "" while not waiting
  int64_t refreshed_ = 0;
};

}  // namespace qnr
