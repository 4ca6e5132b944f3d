// Image-sequence names: "shots/img%03d.png" stands for shots/img001.png,
// shots/img002.png, ... A name is such a pattern only where its container is
// a picture format (from -f, else from the extension) and its file name holds
// one %d or %0Nd, every other percent sign written %%: "100%done.mp4" is a
// plain name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qnr {

// `format` is -f as given, "" where the name picks the container.
bool is_sequence_pattern(const std::string& name, const std::string& format = "");

struct SequenceName {
  std::string folder;   // "shots", "." where the name has none
  std::string pattern;  // "img%03d.png"
};
SequenceName split_sequence(const std::string& name);

// The file name of picture `number`: "img007.png"; "" where it has none.
std::string sequence_file_name(const std::string& pattern, int64_t number);

struct SequenceFile {
  int64_t number = 0;
  std::string name;  // in the sequence's folder
};
// The pictures of the sequence in its folder now, by number.
std::vector<SequenceFile> sequence_files(const SequenceName& sequence);

// Where an input sequence stops short: the picture after its first run of
// numbers is missing, and those after the gap are never read. A note that
// names the missing picture and what is left out; "" where nothing is.
std::string sequence_gap(const std::string& name);

// `text` with each % doubled, so that a folder can lead a pattern.
std::string escape_percent(const std::string& text);

}  // namespace qnr
