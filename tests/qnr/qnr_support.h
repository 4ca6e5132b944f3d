// Helpers for the qnr tests: running programs, making clips, decoding frames,
// and the frames the module itself gives for a clip.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/settings.h"

namespace qnr {
class Child;
}

namespace qnr_test {

struct Ran {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
  long peak_kib = 0;  // peak resident memory
};

// Runs a program (looked up in PATH) to completion.
Ran run(const std::vector<std::string>& argv);
// Runs qnr with these arguments.
Ran qnr(const std::vector<std::string>& args);

// Runs ffmpeg quietly with these arguments and fails the test if it fails.
void ffmpeg(const std::vector<std::string>& args);
// A 64x48 FFV1 clip of `frames` frames at 25 fps, with a second of sine
// sound in AAC when `audio`.
void make_clip(const std::string& path, int frames, bool audio = false);
// A file's bytes.
std::string contents(const std::filesystem::path& file);

// qnr started with its standard input on a pipe that stays open, after the
// first half of `bytes` has been written and taken up: it is surely past its
// start-up and busy. The test writes the rest, or signals it.
std::unique_ptr<qnr::Child> qnr_reading_pipe(const std::vector<std::string>& args,
                                             const std::string& bytes);
// "stream,h264,64,48,..." lines from ffprobe -of csv for these entries.
std::string probe(const std::filesystem::path& file, const std::string& entries,
                  const std::string& streams = "");

// "video:h264 audio:aac subtitle:subrip", each stream once in index order
// (ffprobe lists a transport stream's streams again inside its program).
std::string streams(const std::filesystem::path& file);
// The frames' timestamps in seconds, in presentation order, of the first
// video stream or of `stream` ("a:0"); NaN for a frame the file gives none
// (the last of an MPEG program stream).
std::vector<double> frame_times(const std::filesystem::path& file,
                                const std::string& stream = "v:0");
// The video stream's time base in seconds per tick.
double video_tick(const std::filesystem::path& file);
// One number ffprobe gives, e.g. "format=duration"; NaN when it gives none.
double probe_number(const std::filesystem::path& file, const std::string& entry,
                    const std::string& streams = "");

// `parts` one after the other into `whole`, as `cat` joins recordings.
void concatenate(const std::vector<std::string>& parts, const std::string& whole);
// Bytes into a file (contents() reads them back).
void write_bytes(const std::string& path, const std::string& bytes);
// A 64x48 H.264 clip of `frames` frames at 25 fps, each carrying a closed
// caption (ATSC A/53) as broadcast and DVD-derived video does.
void make_captioned_clip(const std::string& path, int frames);
// A file of three Blu-ray (PGS) subtitle packets, for copying only.
void make_pgs_subtitles(const std::string& path);
// How many of the first video stream's frames carry closed captions.
int captioned_frames(const std::filesystem::path& file);

// All frames of a file as top-down bgr0 words, alpha bytes cleared.
std::vector<uint32_t> decode(const std::filesystem::path& file);
// The same as rgba words (byte 3 the alpha), nothing cleared.
std::vector<uint32_t> decode_with_alpha(const std::filesystem::path& file);
// A top-down picture turned a quarter turn clockwise.
std::vector<uint32_t> turn_clockwise(const std::vector<uint32_t>& pixels, int32_t width,
                                     int32_t height);

using testing_frames::FilterSettings;
// What the module gives for these top-down frames when a host hands it each
// frame in turn, bottom-up, through one instance; alpha bytes cleared.
std::vector<uint32_t> filter_with_module(const std::vector<uint32_t>& frames, int32_t width,
                                         int32_t height, const FilterSettings& settings);

// A fresh directory, removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  // Names of the files in it (or in its `folder`), sorted.
  std::vector<std::string> files(const std::string& folder = "") const;

 private:
  std::filesystem::path path_;
};

}  // namespace qnr_test
