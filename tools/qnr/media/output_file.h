// Where the output goes, and how it gets there without putting any file at
// risk. A file is written unnamed (O_TMPFILE), or under a short hidden name
// where the file system has no unnamed files, in the directory of its final
// name, and linked or renamed into place only when complete, so a failed,
// interrupted or killed run never leaves a file that looks finished. The
// output is never the input; an existing file is replaced only when asked,
// keeping its permissions, and a symbolic link is written through to its
// target. Standard output, pipes and devices are written directly; image
// sequences go through a hidden folder of their own (output_sequence.h).
#pragma once

#include <sys/stat.h>

#include <memory>
#include <string>

#include "media/output_sequence.h"

namespace qnr {

struct OutputTarget {
  std::string name;        // as the user gave it
  bool overwrite = false;  // -y: an existing file may be replaced
  std::string input;       // the input's name, to refuse writing over it
  std::string format;      // -f as given, "" where the name picks the container
};

class OutputFile {
 public:
  // Throws Failure (usage status) when the output is the input or exists
  // without -y; Failure when its name cannot be written (a missing folder,
  // a link loop, a name too long), before any work is done.
  explicit OutputFile(const OutputTarget& target);
  ~OutputFile();  // an uncommitted file disappears
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // What libavformat writes to.
  const std::string& url() const { return sequence_ ? sequence_->url() : url_; }
  // Written front to back (a pipe, a device, standard output).
  bool streamed() const { return streamed_; }
  // An image-sequence pattern; the muxer writes each file itself.
  bool sequence() const { return sequence_ != nullptr; }

  // Puts the finished file in place, its bytes and its name synced to the
  // disk first. Throws Failure when that fails.
  void commit();
  // The file being written (device, inode, size), before or after commit;
  // false for standard output, pipes, devices and sequences.
  bool identity(struct stat& info) const;
  // After commit: a note on older pictures of an image sequence's pattern
  // left beside the new ones; "" when none.
  std::string older_pictures() const { return sequence_ ? sequence_->older_pictures() : ""; }

 private:
  void open_file(const OutputTarget& target);
  bool open_unnamed(mode_t mode);
  void open_hidden(mode_t mode);
  void keep_owner_and_mode(const struct stat& existing);
  void sync_contents() const;
  void link_unnamed();
  void link_hidden();
  void replace_with(const std::string& path);
  [[noreturn]] void commit_failed(int error) const;

  std::string name_;
  std::string final_path_;  // the file that receives the result
  std::string directory_;
  std::string url_;
  std::string temp_path_;   // the hidden name, when there are no unnamed files
  int fd_ = -1;             // the unnamed file
  bool overwrite_ = false;  // -y
  bool replacing_ = false;  // a file of the name was there at the start
  bool streamed_ = false;
  std::unique_ptr<OutputSequence> sequence_;
  bool committed_ = false;
};

// Removes an unfinished output from a signal's last moments (async-signal-safe).
void remove_unfinished_output();

}  // namespace qnr
