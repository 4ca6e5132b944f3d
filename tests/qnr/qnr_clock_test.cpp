// The clocks qnr keeps on its own: when each input frame is shown, and where
// it goes on an encoder that counts frames at a fixed rate.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/failure.h"
#include "media/frame_clock.h"
#include "media/output_clock.h"

namespace qnr {
namespace {

using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

// Frames at these input times (ms, 40 ms each) through a 25 fps clock:
// which input frame goes out at which slot.
struct PlacementCase {
  const char* what;
  ClockMode mode;
  std::vector<int64_t> times;
  std::vector<std::pair<int, int64_t>> out;  // input frame, slot
  std::string note;
};

TEST(OutputClock, FramesGoToSlotsAsFfmpegsRateHandlingPutsThem) {
  const std::vector<PlacementCase> cases = {
      {"steady", ClockMode::constant, {0, 40, 80}, {{0, 0}, {1, 1}, {2, 2}}, ""},
      {"a gap at a constant rate is filled with the frame before it",
       ClockMode::constant,
       {0, 40, 200, 240},
       {{0, 0}, {1, 1}, {1, 2}, {1, 3}, {2, 4}, {2, 5}, {3, 6}},
       "3 frames repeated to fit the 25 fps that test needs"},
      {"a gap in slots stays a gap",
       ClockMode::slots,
       {0, 40, 200, 240},
       {{0, 0}, {1, 1}, {2, 5}, {3, 6}},
       ""},
      {"frames crowding into a slot push on, then one is dropped",
       ClockMode::slots,
       {0, 40, 41, 42, 80},
       {{0, 0}, {1, 1}, {2, 2}, {4, 3}},
       "1 frame dropped to fit the 25 fps that test needs"},
      {"frames more than two slots early at a constant rate",
       ClockMode::constant,
       {0, 40, 41, 42, 43, 80},
       {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {5, 4}},
       "1 frame dropped to fit the 25 fps that test needs"},
  };
  for (const PlacementCase& c : cases) {
    FramePlacer placer({c.mode, {1, 25}, {25, 1}, "test"}, {1, 1000});
    std::vector<std::pair<int, int64_t>> out;
    for (size_t i = 0; i < c.times.size(); ++i) {
      const FramePlacer::Placement place = placer.place(c.times[i], 40);
      int64_t slot = place.pts;
      for (int r = 0; r < place.repeat_previous; ++r) out.emplace_back(int(i) - 1, slot++);
      for (int k = 0; k < place.copies; ++k) out.emplace_back(int(i), slot++);
    }
    EXPECT_THAT(out, ElementsAreArray(c.out)) << c.what;
    EXPECT_EQ(placer.note(), c.note) << c.what;
  }
}

// Which codecs and containers count frames is seen end to end; here what whole
// runs cannot easily show: MPEG-2's own rates, and no rate at all.
TEST(OutputClock, MpegTwoTakesTheNearestRateItCodesAndNoRateIsAnError) {
  ClockChoice choice{av_guess_format("mpeg", nullptr, nullptr),
                     avcodec_find_encoder_by_name("mpeg2video"),
                     {1, 1000},
                     {26, 1},
                     {0, 1},
                     "in"};
  EXPECT_EQ(av_cmp_q(choose_output_clock(choice).frame_rate, {25, 1}), 0);
  choice.input_rate = {0, 1};
  try {
    choose_output_clock(choice);
    ADD_FAILURE() << "no rate, no clock";
  } catch (const Failure& failure) {
    EXPECT_THAT(failure.what(), HasSubstr("cannot tell the frame rate of in, which the mpeg "
                                          "container needs; give it with --rate"));
  }
}

// Frames as a decoder gives them: a timestamp or none, a duration or none.
FramePtr decoded(int64_t pts, int64_t duration) {
  FramePtr frame = new_frame();
  frame->best_effort_timestamp = pts;
  set_frame_duration(*frame, duration);
  return frame;
}

TEST(FrameClock, FramesWithoutTimestampsFollowOnAndRateRetimesThem) {
  struct Case {
    const char* what;
    AVRational stream_rate, user_rate;
    std::vector<std::pair<int64_t, int64_t>> in;   // pts (or none), duration (or 0)
    std::vector<std::pair<int64_t, int64_t>> out;  // pts, duration
  };
  const int64_t none = AV_NOPTS_VALUE;
  const std::vector<Case> cases = {
      {"a raw stream: by each frame's duration",
       {25, 1},
       {0, 1},
       {{none, 40}, {none, 40}, {none, 20}, {none, 0}},
       {{0, 40}, {40, 40}, {80, 20}, {100, 20}}},
      {"a raw stream: by the stream's rate",
       {25, 1},
       {0, 1},
       {{none, 0}, {none, 0}},
       {{0, 40}, {40, 40}}},
      {"the last frame lasts as long as it says",
       {5, 1},
       {0, 1},
       {{0, 0}, {200, 0}, {400, 20}},
       {{0, 200}, {200, 200}, {400, 20}}},
      {"--rate from the first frame on",
       {25, 1},
       {3, 1},
       {{500, 40}, {540, 40}, {none, 0}},
       {{500, 333}, {833, 334}, {1167, 333}}},
  };
  // Frames dated as the decode loop dates them, then timed.
  for (const Case& c : cases) {
    FrameDating dating({1, 1000}, c.stream_rate);
    FrameClock clock({1, 1000}, c.user_rate, "in");
    std::vector<std::pair<int64_t, int64_t>> out;
    for (const auto& [pts, duration] : c.in) {
      const FramePtr frame = decoded(pts, duration);
      dating.date(*frame);
      const FrameTime time = clock.next(*frame);
      out.emplace_back(time.pts, time.duration);
    }
    EXPECT_THAT(out, ElementsAreArray(c.out)) << c.what;
  }
  FrameDating no_rate({1, 1000}, {0, 1});
  FrameClock unknown({1, 1000}, {0, 1}, "raw.h264");
  for (int i = 0; i < 2; ++i) {
    const FramePtr frame = decoded(none, 0);
    no_rate.date(*frame);
    if (i == 0) {
      unknown.next(*frame);
    } else {
      EXPECT_THROW(unknown.next(*frame), Failure);
    }
  }
}

}  // namespace
}  // namespace qnr
