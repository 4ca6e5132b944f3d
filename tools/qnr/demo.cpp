#include "demo.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "failure.h"
#include "filter_job.h"
#include "frame_convert.h"
#include "interrupt.h"
#include "picture_writer.h"

namespace qnr {

namespace {

// One frame, top-down rows of width words.
struct Picture {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint32_t> pixels;
};

struct Capture {
  int64_t wanted = 0;
  int32_t width = 0;
  int32_t height = 0;
  Picture before, after;
};

// Copies one frame out of a host bitmap (bottom-up rows) into a picture.
Picture picture_from_host(const HostFrame& frame) {
  Picture picture{frame.width, frame.height,
                  std::vector<uint32_t>(size_t(frame.width) * size_t(frame.height))};
  for (int32_t r = 0; r < frame.height; ++r) {
    std::memcpy(&picture.pixels[size_t(r) * size_t(frame.width)],
                frame.storage.data() + (frame.height - 1 - r) * frame.pitch,
                size_t(frame.width) * 4);
  }
  return picture;
}

void keep_frame(Capture& capture, int64_t index, const HostFrame& before, const HostFrame& after) {
  if (index != capture.wanted) return;
  capture.before = picture_from_host(before);
  capture.after = picture_from_host(after);
}

// Runs the filter once more on a captured frame with Show noise set.
Picture noise_view(const LoadedModule& loaded, const FilterSettings& settings, const Picture& in) {
  FilterSettings noise = settings;
  noise.show_noise = true;
  noise.disable = false;
  auto instance = make_instance(loaded, noise);
  HostFrame src, dst;
  src.resize(in.width, in.height);
  dst.resize(in.width, in.height);
  for (int32_t r = 0; r < in.height; ++r) {
    std::memcpy(src.top_row(r), &in.pixels[size_t(r) * size_t(in.width)], size_t(in.width) * 4);
  }
  if (instance->start(src.view, dst.view) != 0 || instance->run(src.view, dst.view) != 0) {
    throw Failure("the filter could not make the noise view");
  }
  instance->end();
  return picture_from_host(dst);
}

void write_png(const std::string& path, const Picture& picture) {
  PictureStream stream;
  stream.path = path;
  stream.width = picture.width;
  stream.height = picture.height;
  stream.draw = [&](int, std::vector<uint32_t>& pixels) { pixels = picture.pixels; };
  write_pictures(stream);
}

// A moving test picture: colour bars, a soft gradient and a sharp-edged
// square that travels, under strong grain that changes every frame.
void draw_noisy(int index, int32_t width, int32_t height, std::vector<uint32_t>& pixels) {
  static const uint32_t bars[] = {0xC0C0C0, 0xC0C000, 0x00C0C0, 0x00C000,
                                  0xC000C0, 0xC00000, 0x0000C0, 0x101010};
  uint32_t seed = 0x9E3779B9u * static_cast<uint32_t>(index + 1);
  auto grain = [&](int amplitude) {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<int>((seed >> 16) % static_cast<uint32_t>(2 * amplitude + 1)) - amplitude;
  };
  const int32_t side = std::max(8, height / 4);
  const int32_t square_x = (index * 3) % std::max(1, width - side);
  const int32_t square_y = height / 2 - side / 2;
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      uint32_t base;
      if (y < height / 2) {
        base = bars[(x * 8) / width];
      } else {
        const uint32_t v =
            static_cast<uint32_t>((x + index * 2) * 255 / (width + 2 * index + 1)) & 0xFF;
        base = v | (v << 8) | ((255 - v) << 16);
      }
      if (x >= square_x && x < square_x + side && y >= square_y && y < square_y + side)
        base = 0xF0F0F0;
      const int luma_noise = grain(24);
      uint32_t pixel = 0;
      for (int c = 0; c < 3; ++c) {
        const int value = static_cast<int>((base >> (8 * c)) & 0xFF) + luma_noise + grain(6);
        pixel |= static_cast<uint32_t>(std::clamp(value, 0, 255)) << (8 * c);
      }
      pixels[size_t(y) * size_t(width) + size_t(x)] = pixel;
    }
  }
}

Picture side_by_side(const Picture& left, const Picture& right) {
  constexpr int32_t kGap = 4;
  Picture out{left.width * 2 + kGap, left.height, {}};
  out.pixels.assign(size_t(out.width) * size_t(out.height), 0x00808080u);
  for (int32_t r = 0; r < left.height; ++r) {
    std::memcpy(&out.pixels[size_t(r) * out.width], &left.pixels[size_t(r) * left.width],
                size_t(left.width) * 4);
    std::memcpy(&out.pixels[size_t(r) * out.width + left.width + kGap],
                &right.pixels[size_t(r) * right.width], size_t(right.width) * 4);
  }
  return out;
}

}  // namespace

int run_demo(const Options& options, const LoadedModule& loaded) {
  const std::string dir = options.demo_dir.empty() ? "." : options.demo_dir;
  if (::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
    throw Failure("cannot create " + dir + ": " + std::strerror(errno));
  }
  const std::string noisy = dir + "/noisy.mp4";
  const std::string filtered = dir + "/filtered.mp4";
  const std::string pair = dir + "/before-after.png";
  const std::string noise = dir + "/noise.png";
  const std::string size =
      std::to_string(options.demo_width) + "x" + std::to_string(options.demo_height);

  if (!options.quiet) {
    std::fprintf(stderr, "making a noisy %s clip of %d frames...\n", size.c_str(),
                 options.demo_frames);
  }
  PictureStream clip;
  clip.path = noisy;
  clip.width = options.demo_width;
  clip.height = options.demo_height;
  clip.frames = options.demo_frames;
  clip.codec = "libx264";
  clip.options = {{"crf", "12"}, {"preset", "veryfast"}};
  clip.draw = [&](int index, std::vector<uint32_t>& pixels) {
    throw_if_interrupted();
    draw_noisy(index, clip.width, clip.height, pixels);
  };
  write_pictures(clip);

  Options job = options;
  job.input = noisy;
  job.output = filtered;
  job.encoder_args.clear();
  job.overwrite = true;  // the demo's own files from an earlier run
  job.format.clear();
  Capture capture;
  capture.wanted = options.demo_frames / 2;
  capture.width = options.demo_width;
  capture.height = options.demo_height;
  const JobReport report = run_filter_job(
      job, loaded, [&](int64_t index, const HostFrame& before, const HostFrame& after) {
        keep_frame(capture, index, before, after);
      });
  if (capture.before.pixels.empty()) throw Failure("the demo clip came out shorter than expected");

  write_png(pair, side_by_side(capture.before, capture.after));
  write_png(noise, noise_view(loaded, options.settings, capture.before));

  const double mpix = report.seconds > 0 ? report.frames * double(options.demo_width) *
                                               options.demo_height / report.seconds / 1e6
                                         : 0.0;
  std::printf("wrote %s: the noisy source, %s, %d frames\n", noisy.c_str(), size.c_str(),
              options.demo_frames);
  std::printf("wrote %s: filtered, %s (%.1f Mpixel/s)\n", filtered.c_str(), report.summary.c_str(),
              mpix);
  std::printf("wrote %s: frame %lld, unfiltered on the left, filtered on the right\n", pair.c_str(),
              static_cast<long long>(capture.wanted + 1));
  std::printf("wrote %s: what the filter removed from that frame (Show noise)\n", noise.c_str());
  return 0;
}

}  // namespace qnr
