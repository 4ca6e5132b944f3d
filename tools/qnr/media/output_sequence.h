// An image sequence that appears only when complete: its pictures are
// written into a hidden folder beside them and moved into place at the end,
// so an error, Ctrl-C, a kill or a full disk leaves none of them behind, and
// no picture of the sequence replaces a file without -y.
#pragma once

#include <string>

#include "media/sequence_name.h"

namespace qnr {

class OutputSequence {
 public:
  // Throws Failure (usage status) when a picture of the sequence exists
  // without -y or is the input; Failure when its folder is not writable.
  OutputSequence(const std::string& name, bool overwrite, const std::string& input);
  ~OutputSequence();  // an uncommitted sequence disappears with its folder
  OutputSequence(const OutputSequence&) = delete;
  OutputSequence& operator=(const OutputSequence&) = delete;

  // The pattern the muxer writes, inside the hidden folder.
  const std::string& url() const { return url_; }

  // Moves the pictures into place. Throws Failure when one cannot go there
  // (a file of its name appeared meanwhile, without -y); none of the new
  // pictures is then left in place.
  void commit();
  // After commit: a note on older pictures of the pattern that the new
  // sequence did not replace (a longer sequence written before); "" when none.
  const std::string& older_pictures() const { return older_; }

 private:
  void note_older_pictures(const std::vector<SequenceFile>& written);
  void refuse_input(const std::string& input, const std::vector<SequenceFile>& existing) const;
  std::string in_folder(const std::string& file) const;

  std::string name_;
  SequenceName sequence_;
  bool overwrite_ = false;
  std::string hidden_;  // the folder the pictures are written into
  std::string url_;
  std::string older_;
};

// Removes an unfinished sequence's folder from the interrupt thread's last
// moments (system calls only).
void remove_unfinished_sequence();

}  // namespace qnr
