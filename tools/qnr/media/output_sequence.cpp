#include "media/output_sequence.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "base/failure.h"
#include "base/files.h"
#include "base/output_checks.h"

namespace qnr {

namespace {

// The hidden folder of a run in progress, for the interrupt thread.
char unfinished_folder[PATH_MAX];
std::atomic<bool> unfinished_set{false};

// Empties and removes a folder of plain files, with system calls only.
void remove_folder(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    alignas(8) char buffer[4096];
    bool removed = true;
    // Read again from the start after each batch: removal moves the entries.
    while (removed) {
      removed = false;
      ::lseek(fd, 0, SEEK_SET);
      const ssize_t n = ::getdents64(fd, buffer, sizeof buffer);
      for (ssize_t at = 0; at < n;) {
        const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
        at += entry->d_reclen;
        const char* file = entry->d_name;
        if (std::strcmp(file, ".") == 0 || std::strcmp(file, "..") == 0) continue;
        removed = ::unlinkat(fd, file, 0) == 0 || removed;
      }
    }
    ::close(fd);
  }
  ::rmdir(path);
}

bool is_input_sequence(const std::string& input) {
  return input != "-" && is_sequence_pattern(input);
}

}  // namespace

OutputSequence::OutputSequence(const std::string& name, bool overwrite, const std::string& input)
    : name_(name), sequence_(split_sequence(name)), overwrite_(overwrite) {
  const std::vector<SequenceFile> existing = sequence_files(sequence_);
  refuse_input(input, existing);
  if (!existing.empty() && !overwrite_) {
    throw Failure(
        in_folder(existing.front().name) + " exists; add -y (--overwrite) to replace the sequence",
        kExitUsage);
  }
  // A name too long or a link loop shows on the first picture's name now.
  struct stat info {};
  if (::stat(in_folder(sequence_file_name(sequence_.pattern, 1)).c_str(), &info) != 0 &&
      errno != ENOENT) {
    throw_unwritable(name_, sequence_.folder, errno);
  }
  std::string folder = sequence_.folder + "/.qnr-XXXXXX";
  if (::mkdtemp(folder.data()) == nullptr) throw_unwritable(name_, sequence_.folder, errno);
  hidden_ = folder;
  if (hidden_.size() < sizeof unfinished_folder) {
    std::memcpy(unfinished_folder, hidden_.c_str(), hidden_.size() + 1);
    unfinished_set = true;
  }
  url_ = "file:" + escape_percent(hidden_) + "/" + sequence_.pattern;
}

OutputSequence::~OutputSequence() {
  unfinished_set = false;
  remove_folder(hidden_.c_str());
}

std::string OutputSequence::in_folder(const std::string& file) const {
  return sequence_.folder == "." && !name_.starts_with("./") ? file : sequence_.folder + "/" + file;
}

// The input may be one picture of the sequence, or a sequence that shares
// pictures with it through another spelling of the same folder.
void OutputSequence::refuse_input(const std::string& input,
                                  const std::vector<SequenceFile>& existing) const {
  std::vector<struct stat> inputs;
  struct stat info {};
  if (is_input_sequence(input)) {
    const SequenceName source = split_sequence(input);
    for (const SequenceFile& file : sequence_files(source)) {
      if (::stat((source.folder + "/" + file.name).c_str(), &info) == 0) inputs.push_back(info);
    }
  } else if (stat_input(input, info)) {
    inputs.push_back(info);
  }
  for (const SequenceFile& file : existing) {
    if (::stat(in_folder(file.name).c_str(), &info) != 0) continue;
    for (const struct stat& in : inputs) {
      if (!same_file(in, info)) continue;
      throw Failure("the output " + name_ + " is the input " +
                        (is_input_sequence(input) ? "sequence" : "file") +
                        "; name a different output",
                    kExitUsage);
    }
  }
}

void OutputSequence::commit() {
  std::vector<std::string> placed;
  for (const SequenceFile& file : sequence_files({hidden_, sequence_.pattern})) {
    const std::string from = hidden_ + "/" + file.name;
    const std::string to = sequence_.folder + "/" + file.name;
    int error = put_in_place(from, to, false);
    if (error == 0) {
      placed.push_back(to);
      continue;
    }
    // With -y a picture there is replaced; a failure later keeps the new one.
    if (error == EEXIST && overwrite_) error = put_in_place(from, to, true);
    if (error == 0) continue;
    for (const std::string& path : placed) ::unlink(path.c_str());
    throw Failure("cannot put the finished sequence " + name_ + " in place: " +
                  (error == EEXIST
                       ? in_folder(file.name) + " appeared meanwhile; add -y to replace it"
                       : in_folder(file.name) + ": " + std::strerror(error)));
  }
}

void remove_unfinished_sequence() {
  if (unfinished_set.load()) remove_folder(unfinished_folder);
}

}  // namespace qnr
