#include "jobs/joined_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "base/failure.h"
#include "base/files.h"
#include "base/record_text.h"

namespace qnr {

namespace {

constexpr char kJoinedKind[] = "qnr job joined 1";
constexpr char kClaimBase[] = "join";
constexpr char kWaitingBase[] = "waiting";
// Another machine's claim counts as live while it changed this recently.
constexpr int64_t kRefreshSeconds = 30;

std::optional<JoinedOutput> read_joined(const std::string& folder) {
  bool missing = false;
  try {
    const std::string text = read_small_file(folder + "/joined", &missing);
    if (missing) return std::nullopt;
    const TextRecord record = parse_text_record(text, kJoinedKind);
    return JoinedOutput{record.text("plan"), record.text("output"), record.number("device"),
                        record.number("inode"), record.number("size")};
  } catch (const std::exception&) {
    return std::nullopt;  // unreadable or damaged: it proves nothing
  }
}

bool still_in_place(const JoinedOutput& joined) {
  struct stat info {};
  return ::stat(joined.output.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         static_cast<int64_t>(info.st_dev) == joined.device &&
         static_cast<int64_t>(info.st_ino) == joined.inode &&
         static_cast<int64_t>(info.st_size) == joined.size;
}

bool is_folder(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

void write_joined(const JobFolder& folder, const JoinedOutput& joined, const struct stat& file) {
  TextRecord record;
  record.kind = kJoinedKind;
  record.add("plan", joined.plan_id);
  record.add("output", joined.output);
  record.add_number("device", static_cast<int64_t>(file.st_dev));
  record.add_number("inode", static_cast<int64_t>(file.st_ino));
  record.add_number("size", static_cast<int64_t>(file.st_size));
  write_file_atomically(folder.in_folder("joined"), to_text(record));
}

std::optional<std::string> finished_output(const std::string& dir, bool keep) {
  const JobFolder folder(dir);
  const std::string aside = folder.aside_path();
  std::optional<JoinedOutput> joined;
  if (const auto in_job = read_joined(folder.path()); in_job && still_in_place(*in_job)) {
    joined = in_job;
  } else if (const auto in_aside = read_joined(aside); in_aside && still_in_place(*in_aside)) {
    joined = in_aside;
  }
  if (!joined) {
    // A removal killed just after the record went leaves an empty folder.
    if (is_folder(aside)) ::rmdir(aside.c_str());
    return std::nullopt;
  }
  if (!keep && is_folder(folder.path())) {
    (void)folder.remove();
  } else if (is_folder(aside)) {
    (void)JobFolder(aside).remove();  // renamed aside already: emptied where it is
  }
  return joined->output;
}

JoinClaim::JoinClaim(const JobFolder& folder) : folder_(folder) {}

JoinClaim::~JoinClaim() {
  if (!claim_.empty()) ::unlink(folder_.in_folder(claim_).c_str());
  if (!waiting_.empty()) ::unlink(folder_.in_folder(waiting_).c_str());
}

std::string JoinClaim::make_file(const std::string& base) const {
  const std::string name = folder_.temp_name(base);
  const int fd =
      ::open(folder_.in_folder(name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    throw Failure("cannot write in the job folder " + folder_.path() + ": " + std::strerror(errno));
  }
  ::close(fd);
  return name;
}

bool JoinClaim::other_live(const std::string& base, const std::string& mine) const {
  const FolderListing listing = folder_.list();
  for (const std::string& name : listing.names()) {
    std::string host;
    pid_t pid = 0;
    if (name == mine || !writer_of(name, base, host, pid)) continue;
    if (writer_lives(host, pid, folder_.in_folder(name))) return true;
  }
  return false;
}

bool JoinClaim::take() {
  claim_ = make_file(kClaimBase);
  if (!other_live(kClaimBase, claim_)) {
    refreshed_ = static_cast<int64_t>(std::time(nullptr));
    return true;
  }
  ::unlink(folder_.in_folder(claim_).c_str());
  claim_.clear();
  mark_waiting();
  return false;
}

void JoinClaim::mark_waiting() {
  if (waiting_.empty()) waiting_ = make_file(kWaitingBase);
}

bool JoinClaim::others_waiting() const { return other_live(kWaitingBase, waiting_); }

void JoinClaim::refresh() {
  const auto now = static_cast<int64_t>(std::time(nullptr));
  if (now - refreshed_ < kRefreshSeconds) return;
  refreshed_ = now;
  for (const std::string* name : {&claim_, &waiting_}) {
    if (!name->empty()) (void)::utimensat(AT_FDCWD, folder_.in_folder(*name).c_str(), nullptr, 0);
  }
}

}  // namespace qnr
