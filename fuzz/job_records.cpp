// A long job's folder as it is read back, perhaps from a damaged network
// share: the plan, segment 0's done record and its video file, each as the
// input gives them (the three are separated as FuzzedDataProvider's strings
// are: a backslash and any other character ends one). The folder is opened
// as every command opens it, each planned segment's status is read as
// `status` and `join` read it, and a done segment's packets are read as
// `join` reads them. Whatever is damaged must come back as a refusal with a
// message (Failure or RecordError), never a crash or a read out of range; a
// plan that reads must read the same once written again.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "base/failure.h"
#include "base/record_text.h"
#include "fuzz_support.h"
#include "jobs/job_folder.h"
#include "jobs/segment_file.h"
#include "media/coded_video.h"

namespace {

using qnr_fuzz::require;

void put(const std::string& path, const std::string& bytes) {
  FILE* file = std::fopen(path.c_str(), "wb");
  require(file != nullptr, "the fuzz folder takes files");
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

const std::string& folder() {
  static const std::string dir = [] {
    char name[] = "/dev/shm/qnr-fuzz-job-XXXXXX";
    require(::mkdtemp(name) != nullptr, "a fuzz folder");
    return std::string(name);
  }();
  return dir;
}

void read_segments(const qnr::OpenedJob& job) {
  const int64_t count = std::min<int64_t>(static_cast<int64_t>(job.plan.segments.size()), 3);
  const qnr::FolderListing listing = job.folder.list();
  for (int64_t k = 0; k < count; ++k) {
    const qnr::SegmentStatus status = job.folder.status(job.plan, job.plan_id, k, true, listing);
    if (status.state != qnr::SegmentState::done) continue;
    require(status.done.has_value(), "a done segment has its record");
    const qnr::SegmentDone& done = *status.done;
    qnr::read_coded_video(done.video);
    qnr::SegmentReader reader(job.folder.in_folder(done.file), "segment 0", done.size, done.sha256);
    qnr::PacketPtr packet = qnr::new_packet();
    for (int n = 0; n < 1000 && reader.next(packet.get()); ++n) av_packet_unref(packet.get());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string plan = in.ConsumeRandomLengthString(8192);
  const std::string done = in.ConsumeRandomLengthString(8192);
  const std::string video = in.ConsumeRemainingBytesAsString();

  try {
    const qnr::JobPlan parsed = qnr::parse_plan(plan);
    const std::string written = qnr::plan_text(parsed);
    require(qnr::plan_text(qnr::parse_plan(written)) == written, "a plan reads back the same");
  } catch (const qnr::RecordError& e) {
    require(e.what()[0] != '\0', "a refused plan says why");
  }

  const std::string& dir = folder();
  put(dir + "/plan", plan);
  put(dir + "/segment-00000.done", done);
  put(dir + "/segment-00000.video", video);
  try {
    read_segments(qnr::open_job(dir));
  } catch (const qnr::Failure& e) {
    require(e.what()[0] != '\0', "a refusal says why");
  } catch (const qnr::RecordError& e) {
    require(e.what()[0] != '\0', "a refusal says why");
  }
  return 0;
}
