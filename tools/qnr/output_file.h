// The output is written under a temporary name in its own directory and
// renamed into place only when complete, so a failed or interrupted run never
// leaves a file that looks finished. Device outputs (/dev/null, a FIFO) are
// written directly.
#pragma once

#include <string>

namespace qnr {

class OutputFile {
 public:
  // Creates the temporary file. Throws Failure when the directory is not
  // writable or the name is not usable.
  explicit OutputFile(const std::string& path);
  ~OutputFile();  // removes the temporary file unless committed
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // The name the encoder writes to.
  const std::string& write_path() const { return write_path_; }
  const std::string& final_path() const { return final_path_; }
  // Lower-case extension of the final name without the dot, "" if none.
  const std::string& extension() const { return extension_; }
  bool is_device() const { return direct_; }

  // Moves the finished file into place. Throws Failure when that fails.
  void commit();

 private:
  std::string final_path_;
  std::string write_path_;
  std::string extension_;
  bool direct_ = false;
  bool committed_ = false;
};

// Lower-case extension of a file name without the dot, "" if none.
std::string lower_extension(const std::string& path);

}  // namespace qnr
