#include "qnr_support.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "child_process.h"
#include "media/libav.h"
#include "support/instance_settings.h"
#include "vdhost.h"

namespace qnr_test {

Ran run(const std::vector<std::string>& argv) {
  Ran ran;
  qnr::SpawnRequest request;
  request.argv = argv;
  std::string error;
  bool not_found = false;
  auto child = qnr::Child::spawn(request, error, not_found);
  if (!child) {
    ADD_FAILURE() << "cannot run " << argv[0] << ": " << error;
    return ran;
  }
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(child->stdout_fd(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    ran.out.append(buffer, static_cast<size_t>(n));
  }
  const int status = child->wait();
  ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  ran.err = child->error_text();
  ran.peak_kib = child->peak_kib();
  return ran;
}

Ran qnr(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {QNR_EXE};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv);
}

void ffmpeg(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"ffmpeg",    "-nostdin", "-hide_banner",
                                   "-loglevel", "error",    "-y"};
  argv.insert(argv.end(), args.begin(), args.end());
  const Ran ran = run(argv);
  ASSERT_EQ(ran.status, 0) << ran.err;
}

void make_clip(const std::string& path, int frames, bool audio) {
  std::vector<std::string> args = {"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25"};
  if (audio) args.insert(args.end(), {"-f", "lavfi", "-i", "sine=d=1", "-c:a", "aac"});
  args.insert(args.end(), {"-frames:v", std::to_string(frames), "-c:v", "ffv1", path});
  ffmpeg(args);
}

std::string contents(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::unique_ptr<qnr::Child> qnr_reading_pipe(const std::vector<std::string>& args,
                                             const std::string& bytes) {
  qnr::SpawnRequest request;
  request.argv = {QNR_EXE};
  request.argv.insert(request.argv.end(), args.begin(), args.end());
  request.in = qnr::Stream::pipe;
  std::string error;
  bool not_found = false;
  auto child = qnr::Child::spawn(request, error, not_found);
  EXPECT_TRUE(child) << error;
  if (!child) return child;
  EXPECT_TRUE(
      qnr::write_fully(child->stdin_fd(), {{const_cast<char*>(bytes.data()), bytes.size() / 2}}));
  // Once qnr has drained the pipe it is past start-up and waiting for the rest;
  // a fixed pause alone can end before a loaded machine has even started it.
  int pending = 1;
  for (int waited = 0; waited < 10000 && pending > 0; waited += 20) {
    if (::ioctl(child->stdin_fd(), FIONREAD, &pending) != 0) pending = 0;
    if (pending > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return child;
}

std::string probe(const std::filesystem::path& file, const std::string& entries,
                  const std::string& streams) {
  std::vector<std::string> argv = {"ffprobe", "-v",  "error", "-show_entries",
                                   entries,   "-of", "csv"};
  if (!streams.empty()) argv.insert(argv.end(), {"-select_streams", streams});
  argv.push_back(file.string());
  return run(argv).out;
}

std::string streams(const std::filesystem::path& file) {
  const std::string text =
      run({"ffprobe", "-v", "error", "-show_entries", "stream=index,codec_type,codec_name", "-of",
           "csv=p=0", file.string()})
          .out;
  std::map<int, std::string> by_index;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string index, codec, type;
    std::getline(fields, index, ',');
    std::getline(fields, codec, ',');
    std::getline(fields, type, ',');
    if (!index.empty()) by_index[std::stoi(index)] = type + ":" + codec;
  }
  std::string out;
  for (const auto& [index, text_of] : by_index) out += (out.empty() ? "" : " ") + text_of;
  return out;
}

std::vector<double> frame_times(const std::filesystem::path& file, const std::string& stream) {
  // The time a player shows each frame at: its own, or the decoder's best
  // guess where the container stores decoding times only (AVI, B-frames in MPEG).
  const std::string text =
      run({"ffprobe", "-v", "error", "-select_streams", stream, "-show_entries",
           "frame=best_effort_timestamp_time", "-of", "default=nw=1", file.string()})
          .out;
  const std::string key = "best_effort_timestamp_time=";
  std::vector<double> times;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(key, 0) != 0) continue;
    const std::string value = line.substr(key.size());
    times.push_back(value == "N/A" ? std::nan("") : std::stod(value));
  }
  return times;
}

double video_tick(const std::filesystem::path& file) {
  std::string text = probe(file, "stream=time_base", "v:0");  // "stream,1/1000"
  text = text.substr(text.rfind("stream,"));
  const size_t comma = text.find(','), slash = text.find('/');
  if (comma == std::string::npos || slash == std::string::npos) return 0;
  return std::stod(text.substr(comma + 1, slash - comma - 1)) / std::stod(text.substr(slash + 1));
}

double probe_number(const std::filesystem::path& file, const std::string& entry,
                    const std::string& streams) {
  std::vector<std::string> argv = {"ffprobe", "-v",  "error",  "-show_entries",
                                   entry,     "-of", "csv=p=0"};
  if (!streams.empty()) argv.insert(argv.end(), {"-select_streams", streams});
  argv.push_back(file.string());
  const std::string text = run(argv).out;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  return end == text.c_str() ? std::nan("") : value;
}

void concatenate(const std::vector<std::string>& parts, const std::string& whole) {
  std::string bytes;
  for (const std::string& part : parts) bytes += contents(part);
  write_bytes(whole, bytes);
}

void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::vector<uint32_t> decode_with_alpha(const std::filesystem::path& file) {
  const Ran ran = run({"ffmpeg", "-nostdin", "-loglevel", "error", "-i", file.string(), "-map",
                       "0:v:0", "-f", "rawvideo", "-pix_fmt", "rgba", "pipe:1"});
  EXPECT_EQ(ran.status, 0) << ran.err;
  std::vector<uint32_t> words(ran.out.size() / 4);
  std::memcpy(words.data(), ran.out.data(), words.size() * 4);
  return words;
}

std::vector<uint32_t> turn_clockwise(const std::vector<uint32_t>& pixels, int32_t width,
                                     int32_t height) {
  std::vector<uint32_t> out(pixels.size());
  // The new picture is height wide: its row y is the old column y, read upwards.
  for (int32_t y = 0; y < width; ++y) {
    for (int32_t x = 0; x < height; ++x) {
      out[size_t(y) * height + x] = pixels[size_t(height - 1 - x) * width + y];
    }
  }
  return out;
}

std::vector<uint32_t> decode(const std::filesystem::path& file) {
  const Ran ran =
      run({"ffmpeg", "-nostdin", "-loglevel", "error", "-i", file.string(), "-map", "0:v:0",
           "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "bgr0", "pipe:1"});
  EXPECT_EQ(ran.status, 0) << ran.err;
  std::vector<uint32_t> words(ran.out.size() / 4);
  std::memcpy(words.data(), ran.out.data(), words.size() * 4);
  for (uint32_t& w : words) w &= 0x00FFFFFFu;
  return words;
}

std::vector<uint32_t> filter_with_module(const std::vector<uint32_t>& frames, int32_t width,
                                         int32_t height, const FilterSettings& settings) {
  std::string error;
  auto module = vdhost::FilterModule::load(QNR_MODULE_PATH, error);
  EXPECT_TRUE(module) << error;
  if (!module) return {};
  module->initialise();
  vdhost::FilterInstance instance(*module, *module->filter());
  EXPECT_EQ(instance.init(), 0);
  EXPECT_TRUE(testing_frames::configure(instance, settings, error)) << error;

  const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
  vdhost::Bitmap src(width, height), dst(width, height);
  EXPECT_EQ(instance.start(src, dst), 0);
  std::vector<uint32_t> out(frames.size());
  for (size_t f = 0; f + pixels <= frames.size(); f += pixels) {
    // A host's bitmaps are bottom-up: image row r is the (height-1-r)th lowest.
    for (int32_t r = 0; r < height; ++r) {
      std::copy_n(&frames[f + size_t(r) * width], width, src.row(height - 1 - r));
    }
    EXPECT_EQ(instance.run(src, dst), 0);
    for (int32_t r = 0; r < height; ++r) {
      std::copy_n(dst.row(height - 1 - r), width, &out[f + size_t(r) * width]);
    }
  }
  instance.end();
  for (uint32_t& w : out) w &= 0x00FFFFFFu;
  return out;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "qnr-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> TempDir::files(const std::string& folder) const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path_ / folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

// Writes `packets` of one stream, already coded, into `path`.
struct StreamWriter {
  AVFormatContext* format = nullptr;
  AVStream* stream = nullptr;

  explicit StreamWriter(const std::string& path) {
    if (avformat_alloc_output_context2(&format, nullptr, nullptr, path.c_str()) < 0) {
      throw std::runtime_error("cannot write " + path);
    }
    stream = avformat_new_stream(format, nullptr);
  }
  void open(const std::string& path) {
    if (avio_open(&format->pb, path.c_str(), AVIO_FLAG_WRITE) < 0 ||
        avformat_write_header(format, nullptr) < 0) {
      throw std::runtime_error("cannot write " + path);
    }
  }
  void write(AVPacket* packet, AVRational time_base) {
    av_packet_rescale_ts(packet, time_base, stream->time_base);
    packet->stream_index = 0;
    if (av_interleaved_write_frame(format, packet) < 0) throw std::runtime_error("write failed");
  }
  ~StreamWriter() {
    av_write_trailer(format);
    avio_closep(&format->pb);
    avformat_free_context(format);
  }
};

}  // namespace

void make_captioned_clip(const std::string& path, int frames) {
  av_log_set_level(AV_LOG_ERROR);  // x264's banner and statistics
  StreamWriter out(path);
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  qnr::CodecPtr encoder(avcodec_alloc_context3(codec));
  encoder->width = 64;
  encoder->height = 48;
  encoder->pix_fmt = AV_PIX_FMT_YUV420P;
  encoder->time_base = {1, 25};
  if (out.format->oformat->flags & AVFMT_GLOBALHEADER) {
    encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  if (avcodec_open2(encoder.get(), codec, nullptr) < 0) throw std::runtime_error("no libx264");
  avcodec_parameters_from_context(out.stream->codecpar, encoder.get());
  out.stream->time_base = encoder->time_base;
  out.open(path);
  qnr::PacketPtr packet = qnr::new_packet();
  auto drain = [&] {
    while (avcodec_receive_packet(encoder.get(), packet.get()) >= 0) {
      out.write(packet.get(), encoder->time_base);
    }
  };
  for (int i = 0; i <= frames; ++i) {
    if (i == frames) {
      avcodec_send_frame(encoder.get(), nullptr);
      drain();
      break;
    }
    qnr::FramePtr frame = qnr::new_frame();
    frame->width = 64;
    frame->height = 48;
    frame->format = AV_PIX_FMT_YUV420P;
    av_frame_get_buffer(frame.get(), 0);
    for (int plane = 0; plane < 3; ++plane) {
      std::memset(frame->data[plane], 16 + 8 * i, frame->linesize[plane] * (plane ? 24 : 48));
    }
    frame->pts = i;
    // One CEA-608 pair on field 1: a valid marker byte, then two data bytes.
    const uint8_t caption[3] = {0xFC, 0x94, 0x20};
    AVFrameSideData* side = av_frame_new_side_data(frame.get(), AV_FRAME_DATA_A53_CC, 3);
    std::memcpy(side->data, caption, sizeof caption);
    avcodec_send_frame(encoder.get(), frame.get());
    drain();
  }
}

void make_pgs_subtitles(const std::string& path) {
  StreamWriter out(path);
  out.stream->codecpar->codec_type = AVMEDIA_TYPE_SUBTITLE;
  out.stream->codecpar->codec_id = AV_CODEC_ID_HDMV_PGS_SUBTITLE;
  out.stream->time_base = {1, 1000};
  out.open(path);
  // A presentation composition segment with no objects, then an end segment.
  const uint8_t display_set[] = {0x16, 0, 11, 0, 64, 0, 48, 0x10, 0, 0, 0x80, 0, 0, 0, 0x80, 0, 0};
  for (int i = 0; i < 3; ++i) {
    qnr::PacketPtr packet = qnr::new_packet();
    av_new_packet(packet.get(), sizeof display_set);
    std::memcpy(packet->data, display_set, sizeof display_set);
    packet->pts = packet->dts = 200 * i;
    packet->duration = 100;
    packet->flags = AV_PKT_FLAG_KEY;
    out.write(packet.get(), {1, 1000});
  }
}

int captioned_frames(const std::filesystem::path& file) {
  const std::string text = run({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                "frame_side_data=side_data_type", "-of", "csv", file.string()})
                               .out;
  int count = 0;
  for (size_t at = text.find("ATSC A53"); at != std::string::npos;
       at = text.find("ATSC A53", at + 1)) {
    ++count;
  }
  return count;
}

}  // namespace qnr_test
