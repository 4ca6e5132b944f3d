#include "demo.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "failure.h"
#include "ffmpeg_commands.h"
#include "filter_job.h"
#include "interrupt.h"
#include "pipeline.h"
#include "process.h"

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

// Copies one frame out of the host layout (bottom-up rows) into a picture.
Picture picture_from_host(const uint32_t* lowest, int32_t width, int32_t height, int64_t pitch) {
  Picture picture{width, height, std::vector<uint32_t>(size_t(width) * size_t(height))};
  const auto* base = reinterpret_cast<const uint8_t*>(lowest);
  for (int32_t r = 0; r < height; ++r) {
    std::memcpy(&picture.pixels[size_t(r) * size_t(width)], base + (height - 1 - r) * pitch,
                size_t(width) * 4);
  }
  return picture;
}

void keep_frame(void* context, int64_t index, const uint32_t* before, const uint32_t* after,
                int64_t pitch) {
  auto* capture = static_cast<Capture*>(context);
  if (index != capture->wanted) return;
  capture->before = picture_from_host(before, capture->width, capture->height, pitch);
  capture->after = picture_from_host(after, capture->width, capture->height, pitch);
}

// Runs the filter once more on a captured frame with Show noise set.
Picture noise_view(const LoadedModule& loaded, const FilterSettings& settings, const Picture& in) {
  FilterSettings noise = settings;
  noise.show_noise = true;
  noise.disable = false;
  auto instance = make_instance(loaded, noise);
  const int64_t pitch = host_pitch(in.width);
  std::vector<uint8_t> src(size_t(pitch) * size_t(in.height)), dst(src.size());
  for (int32_t r = 0; r < in.height; ++r) {
    std::memcpy(src.data() + (in.height - 1 - r) * pitch, &in.pixels[size_t(r) * size_t(in.width)],
                size_t(in.width) * 4);
  }
  HostBitmap src_view = vdhost::bitmap_view(src.data(), in.width, in.height, pitch);
  HostBitmap dst_view = vdhost::bitmap_view(dst.data(), in.width, in.height, pitch);
  if (instance->start(src_view, dst_view) != 0 || instance->run(src_view, dst_view) != 0) {
    throw Failure("the filter could not make the noise view");
  }
  instance->end();
  return picture_from_host(reinterpret_cast<const uint32_t*>(dst.data()), in.width, in.height,
                           pitch);
}

void run_ffmpeg(const std::vector<std::string>& argv, const std::string& what,
                const std::vector<uint32_t>* stdin_pixels = nullptr) {
  SpawnRequest request;
  request.argv = argv;
  request.in = stdin_pixels != nullptr ? Stream::pipe : Stream::null;
  request.out = Stream::null;
  std::string error;
  bool not_found = false;
  auto child = Child::spawn(request, error, not_found);
  if (not_found) throw Failure(missing_program_message("ffmpeg"));
  if (!child) throw Failure("cannot run ffmpeg: " + error);
  if (stdin_pixels != nullptr) {
    write_fully(child->stdin_fd(), {{const_cast<uint32_t*>(stdin_pixels->data()),
                                     stdin_pixels->size() * 4}});
    child->close_stdin();
  }
  const int status = child->wait();
  throw_if_interrupted();
  if (!exited_cleanly(status)) throw Failure(what + " failed: " + child->last_error_line());
}

void write_png(const std::string& path, const Picture& picture) {
  run_ffmpeg({"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "rawvideo",
              "-pix_fmt", "bgr0", "-s",
              std::to_string(picture.width) + "x" + std::to_string(picture.height), "-i",
              "pipe:0", "-frames:v", "1", "-update", "1", "-pix_fmt", "rgb24",
              ffmpeg_path(path)},
             "writing " + path, &picture.pixels);
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
  const double seconds = options.demo_frames / 25.0;

  // A moving test picture with strong temporal grain, and a tone for the audio copy.
  if (!options.quiet) std::fprintf(stderr, "making a noisy %s clip of %d frames...\n", size.c_str(), options.demo_frames);
  run_ffmpeg({"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi",
              "-i", "testsrc2=size=" + size + ":rate=25,noise=c0s=24:c0f=t+u:c1s=6:c2s=6:c1f=t:c2f=t", "-f", "lavfi",
              "-i", "sine=frequency=440:sample_rate=48000", "-frames:v",
              std::to_string(options.demo_frames), "-t", std::to_string(seconds), "-c:v",
              "libx264", "-crf", "12", "-preset", "veryfast", "-pix_fmt", "yuv420p", "-c:a",
              "aac", ffmpeg_path(noisy)},
             "making the noisy clip");

  Options job = options;
  job.input = noisy;
  job.output = filtered;
  job.encoder_args.clear();
  Capture capture;
  capture.wanted = options.demo_frames / 2;
  capture.width = options.demo_width;
  capture.height = options.demo_height;
  const JobReport report = run_filter_job(job, loaded, keep_frame, &capture);
  if (capture.before.pixels.empty()) throw Failure("the demo clip came out shorter than expected");

  write_png(pair, side_by_side(capture.before, capture.after));
  write_png(noise, noise_view(loaded, options.settings, capture.before));

  const double mpix = report.seconds > 0 ? report.frames * double(options.demo_width) *
                                               options.demo_height / report.seconds / 1e6
                                         : 0.0;
  std::printf("wrote %s: the noisy source, %s, %d frames with audio\n", noisy.c_str(),
              size.c_str(), options.demo_frames);
  std::printf("wrote %s: filtered, %s (%.1f Mpixel/s)\n", filtered.c_str(), report.summary.c_str(),
              mpix);
  std::printf("wrote %s: frame %lld, unfiltered on the left, filtered on the right\n",
              pair.c_str(), static_cast<long long>(capture.wanted + 1));
  std::printf("wrote %s: what the filter removed from that frame (Show noise)\n", noise.c_str());
  return 0;
}

}  // namespace qnr
