// The plain frame filter's output pinned to fixed hashes on fixed frames and
// settings. Optimised versions are checked against the plain one, so a change
// in code that they all share (the analysis, the colour rules) would pass those
// checks unnoticed; these hashes catch it. A hash changes only when the output
// of the reference changes, which must never happen by accident.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <vector>

#include "support/frames.h"
#include "support/hash.h"

namespace {

using testing_frames::cpu_path;
using testing_frames::FilterSettings;
using testing_frames::random_frame;

using testing_frames::fnv1a64;

}  // namespace
