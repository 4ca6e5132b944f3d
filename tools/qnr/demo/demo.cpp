#include "demo/demo.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string_view>
#include <thread>
#include <vector>

#include "base/failure.h"
#include "base/interrupt.h"
#include "demo/demo_grain.h"
#include "demo/demo_scene.h"
#include "demo/picture_writer.h"
#include "demo/pixel_font.h"
#include "hosting/road.h"

namespace qnr {

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Fine grain with a standard deviation of 4 levels in luma, as a small sensor
// gives in dim light, and a quarter of that in colour. At the filter's
// default levels this is about the strength it helps most: weaker grain is
// hard to see, and more of stronger grain is taken for detail and kept.
constexpr Grain kGrain{0x51A7E5EEDull, 4.0, 1.0};

// One top-down picture.
struct Picture {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint32_t> pixels;

  uint32_t& at(int32_t x, int32_t y) { return pixels[size_t(y) * size_t(width) + size_t(x)]; }
  uint32_t at(int32_t x, int32_t y) const { return pixels[size_t(y) * size_t(width) + size_t(x)]; }
};

// The module's bitmaps are bottom-up: image row r is the bitmap's row height - 1 - r.
void to_bitmap(const std::vector<uint32_t>& pixels, vdhost::Bitmap& bitmap) {
  const int32_t w = bitmap.width(), h = bitmap.height();
  for (int32_t r = 0; r < h; ++r)
    std::copy_n(&pixels[size_t(r) * size_t(w)], w, bitmap.row(h - 1 - r));
}

void from_bitmap(const vdhost::Bitmap& bitmap, std::vector<uint32_t>& pixels) {
  const int32_t w = bitmap.width(), h = bitmap.height();
  pixels.resize(size_t(w) * size_t(h));
  for (int32_t r = 0; r < h; ++r)
    std::copy_n(bitmap.row(h - 1 - r), w, &pixels[size_t(r) * size_t(w)]);
}

// One filter instance and the frames it works on; lanes run side by side,
// each on a frame of its own, as qnr's --jobs instances do.
struct Lane {
  std::unique_ptr<vdhost::FilterInstance> instance;
  vdhost::Bitmap src, dst;
  std::vector<uint32_t> clean, noisy, filtered;
  LumaError noisy_error, filtered_error;
  int index = -1;  // the frame in hand, -1 for none

  Lane(const LoadedModule& loaded, const FilterSettings& settings, int32_t w, int32_t h)
      : instance(make_instance(loaded, settings)), src(w, h), dst(w, h) {}

  void process(const DemoScene& scene, int frame) {
    index = frame;
    scene.draw(frame, clean);
    noisy.resize(clean.size());
    add_grain(kGrain, frame, clean.data(), noisy.data(), clean.size());
    to_bitmap(noisy, src);
    if (!instance->started() && instance->start(src, dst) != 0) {
      throw Failure("the filter refused to start on the demo clip");
    }
    if (instance->run(src, dst) != 0) {
      throw Failure("the filter failed on frame " + std::to_string(frame + 1) +
                    " of the demo clip");
    }
    from_bitmap(dst, filtered);
    noisy_error.add(clean.data(), noisy.data(), clean.size());
    filtered_error.add(clean.data(), filtered.data(), clean.size());
  }
};

// Runs `work` for every lane at once, each on a thread of its own, and
// rethrows the first failure. The calling thread only waits, as in qnr's
// pipeline: it never runs the lanes' module calls. (Module calls on the main
// thread and on ended threads alike, followed by the module's unloading, make
// LeakSanitizer's exit-time scan crash in the sanitizer build.)
template <class Work> void in_parallel(std::vector<std::unique_ptr<Lane>>& lanes, Work work) {
  std::vector<std::exception_ptr> failures(lanes.size());
  std::vector<std::thread> threads;
  for (size_t j = 0; j < lanes.size(); ++j) {
    threads.emplace_back([&, j] {
      try {
        work(j, *lanes[j]);
      } catch (...) {
        failures[j] = std::current_exception();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

// The Show-noise view of one frame: a fresh instance with Show noise on.
Picture noise_view(const LoadedModule& loaded, const FilterSettings& settings, const Picture& in) {
  FilterSettings noise = settings;
  noise.values[vdhost::Setting::show_noise] = 1;
  noise.values[vdhost::Setting::disable].reset();
  auto instance = make_instance(loaded, noise);
  vdhost::Bitmap src(in.width, in.height), dst(in.width, in.height);
  to_bitmap(in.pixels, src);
  if (instance->start(src, dst) != 0 || instance->run(src, dst) != 0) {
    throw Failure("the filter could not make the noise view");
  }
  instance->end();
  Picture out{in.width, in.height, {}};
  from_bitmap(dst, out.pixels);
  return out;
}

// The module's own rate: one instance filtering a frame `runs` times with
// nothing else of the demo running, so neither the encoders' threads nor the
// drawing share the processor with it. Seconds a frame, start excluded.
double time_filter(const LoadedModule& loaded, const FilterSettings& settings, const Picture& in,
                   int runs) {
  auto instance = make_instance(loaded, settings);
  vdhost::Bitmap src(in.width, in.height), dst(in.width, in.height);
  to_bitmap(in.pixels, src);
  if (instance->start(src, dst) != 0) throw Failure("the filter refused to start on the demo clip");
  const Clock::time_point start = Clock::now();
  for (int r = 0; r < runs; ++r) {
    if (instance->run(src, dst) != 0) throw Failure("the filter failed on the demo clip");
  }
  const double seconds = seconds_since(start) / runs;
  instance->end();
  return seconds;
}

void write_png(const std::string& path, const Picture& picture) {
  PictureStream stream;
  stream.path = path;
  stream.width = picture.width;
  stream.height = picture.height;
  PictureWriter writer(stream);
  writer.write(picture.pixels.data());
  writer.finish();
}

// Draws `text` in the label font at a whole-number scale.
void draw_label(Picture& picture, std::string_view text, int32_t left, int32_t top, int32_t scale,
                uint32_t colour) {
  const int32_t w = text_cells(text) * scale, h = kGlyphHeight * scale;
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      const int32_t px = left + x, py = top + y;
      if (px < 0 || py < 0 || px >= picture.width || py >= picture.height) continue;
      if (text_ink(text, double(x / scale), double(y / scale))) picture.at(px, py) = colour;
    }
  }
}

// The region of both frames enlarged to 200 % (each pixel a 2 x 2 block, so
// the grain shows as it is), before on the left and after on the right,
// under a strip with their labels.
Picture before_after(const Picture& before, const Picture& after, const Region& region) {
  constexpr int32_t kZoom = 2, kGap = 8, kLabelScale = 2;
  constexpr int32_t kStrip = kGlyphHeight * kLabelScale + 10;
  const int32_t side = region.width * kZoom;
  Picture out{side * 2 + kGap, kStrip + region.height * kZoom, {}};
  out.pixels.assign(size_t(out.width) * size_t(out.height), 0x00202020u);
  const Picture* halves[2] = {&before, &after};
  for (int half = 0; half < 2; ++half) {
    const int32_t left = half * (side + kGap);
    for (int32_t y = 0; y < region.height * kZoom; ++y) {
      for (int32_t x = 0; x < side; ++x) {
        out.at(left + x, kStrip + y) = halves[half]->at(region.x + x / kZoom, region.y + y / kZoom);
      }
    }
    const std::string_view label = half == 0 ? "BEFORE" : "AFTER";
    if (text_cells(label) * kLabelScale <= side) {
      draw_label(out, label, left + 4, 5, kLabelScale, 0x00F0F0F0u);
    }
  }
  return out;
}

// Where the demo writes.
struct DemoPaths {
  std::string noisy, filtered, pair, noise;
};

DemoPaths demo_paths(const std::string& dir) {
  return {dir + "/noisy.mp4", dir + "/filtered.mp4", dir + "/before-after.png", dir + "/noise.png"};
}

// What making the two clips gave: the middle frame before and after the
// filter, each clip's error against the clean scene, and the time it took.
struct DemoClips {
  int wanted = 0;  // the frame shown before and after
  Picture before, after;
  LumaError noisy_error, filtered_error;
  std::string settings_line;
  double seconds = 0;       // making both clips
  double encoder_wait = 0;  // of which the demo waited for the encoders
};

// Draws every frame, adds grain, filters it on `jobs` lanes at once and
// writes both clips in frame order.
DemoClips make_clips(const DemoRequest& request, const LoadedModule& loaded, const DemoScene& scene,
                     const DemoPaths& paths) {
  const Clock::time_point began = Clock::now();
  const int32_t width = scene.width(), height = scene.height();
  const int frames = scene.frames();
  const int jobs = std::min(frames, request.jobs > 0 ? request.jobs : default_jobs());
  std::vector<std::unique_ptr<Lane>> lanes;
  for (int j = 0; j < jobs; ++j) {
    lanes.push_back(std::make_unique<Lane>(loaded, request.settings, width, height));
  }
  DemoClips clips;
  lanes[0]->instance->script_string(clips.settings_line);

  PictureStream clip;
  clip.width = width;
  clip.height = height;
  clip.codec = "libx264";
  clip.path = paths.noisy;
  clip.options = {{"crf", "12"}, {"preset", "superfast"}};
  PictureWriter noisy_out(clip);
  clip.path = paths.filtered;
  clip.options = {{"crf", "16"}, {"preset", "superfast"}};
  PictureWriter filtered_out(clip);

  clips.wanted = frames / 2;
  for (int first = 0; first < frames; first += jobs) {
    throw_if_interrupted();
    in_parallel(lanes, [&](size_t j, Lane& lane) {
      const int frame = first + static_cast<int>(j);
      lane.index = -1;
      if (frame < frames) lane.process(scene, frame);
    });
    const Clock::time_point start = Clock::now();
    for (const auto& lane : lanes) {
      if (lane->index < 0) continue;
      noisy_out.write(lane->noisy.data());
      filtered_out.write(lane->filtered.data());
      if (lane->index == clips.wanted) {
        clips.before = {width, height, lane->noisy};
        clips.after = {width, height, lane->filtered};
      }
    }
    clips.encoder_wait += seconds_since(start);
  }
  for (const auto& lane : lanes) {
    if (lane->instance->started()) lane->instance->end();
    clips.noisy_error.add(lane->noisy_error);
    clips.filtered_error.add(lane->filtered_error);
  }
  const Clock::time_point flush = Clock::now();
  noisy_out.finish();
  filtered_out.finish();
  clips.encoder_wait += seconds_since(flush);
  clips.seconds = seconds_since(began);
  return clips;
}

void print_report(const DemoPaths& paths, const DemoClips& clips, const std::string& size,
                  int frames, double megapixels, double frame_seconds) {
  std::printf("wrote %s: the clip with grain, %s, %d frames\n", paths.noisy.c_str(), size.c_str(),
              frames);
  std::printf("wrote %s: the same through the filter, %s\n", paths.filtered.c_str(),
              clips.settings_line.c_str());
  std::printf("wrote %s: frame %d at 200 %%, with grain on the left, filtered on the right\n",
              paths.pair.c_str(), clips.wanted + 1);
  std::printf("wrote %s: what the filter removed from that frame (Show noise)\n",
              paths.noise.c_str());
  std::printf("luma PSNR against the clean clip: with grain %.2f dB, filtered %.2f dB (%+.2f dB)\n",
              clips.noisy_error.psnr(), clips.filtered_error.psnr(),
              clips.filtered_error.psnr() - clips.noisy_error.psnr());
  std::printf(
      "the filter alone: %.1f ms a frame, %.0f fps, %.0f Mpixel/s (one instance, timed on "
      "its own)\n",
      1000 * frame_seconds, 1 / frame_seconds, megapixels / frame_seconds);
  std::printf(
      "making both clips took %.1f s (%.1f fps), %.1f s of it waiting for the H.264 encoder\n",
      clips.seconds, frames / clips.seconds, clips.encoder_wait);
  std::printf("to choose settings by eye on your own video: qnr tune yourvideo.mp4\n");
}

}  // namespace

int run_demo(const DemoRequest& request, const LoadedModule& loaded) {
  const std::string dir = request.dir.empty() ? "." : request.dir;
  if (::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
    throw Failure("cannot create " + dir + ": " + std::strerror(errno));
  }
  const DemoPaths paths = demo_paths(dir);
  const int32_t width = request.width, height = request.height;
  const int frames = request.frames;
  const std::string size = std::to_string(width) + "x" + std::to_string(height);
  if (!request.quiet) {
    std::fprintf(stderr, "making a %s clip of %d frames with grain and filtering it...\n",
                 size.c_str(), frames);
  }
  const DemoScene scene(width, height, frames);
  const DemoClips clips = make_clips(request, loaded, scene, paths);

  write_png(paths.pair, before_after(clips.before, clips.after, scene.detail_region(clips.wanted)));
  write_png(paths.noise, noise_view(loaded, request.settings, clips.before));
  const double frame_seconds = std::max(
      1e-9, time_filter(loaded, request.settings, clips.before, std::clamp(frames, 3, 12)));
  print_report(paths, clips, size, frames, double(width) * height / 1e6, frame_seconds);
  return 0;
}

}  // namespace qnr
