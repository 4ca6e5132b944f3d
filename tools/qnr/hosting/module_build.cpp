#include "hosting/module_build.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>

#include "core/cpu_version.h"

namespace qnr {
namespace {

template <class T> T read_at(const unsigned char* bytes, size_t offset) {
  T value;
  std::memcpy(&value, bytes + offset, sizeof value);
  return value;
}

// The fatbin's table of contents at `bytes`; nothing present when it is not one.
GpuCode read_fatbin(const unsigned char* bytes, size_t size) {
  constexpr uint32_t kMagic = 0xBA55ED50u;
  GpuCode code;
  if (size < 16 || read_at<uint32_t>(bytes, 0) != kMagic) return code;
  const size_t header = read_at<uint16_t>(bytes, 6);
  const uint64_t body = read_at<uint64_t>(bytes, 8);
  if (header < 16 || header > size || body > size - header) return code;
  size_t at = header;
  const size_t end = header + body;
  while (at < end) {
    if (end - at < 32) return {};
    const uint16_t kind = read_at<uint16_t>(bytes, at);
    const uint32_t entry_header = read_at<uint32_t>(bytes, at + 4);
    const uint64_t payload = read_at<uint64_t>(bytes, at + 8);
    if ((kind != 1 && kind != 2) || entry_header < 32 || entry_header > end - at ||
        payload > end - at - entry_header) {
      return {};
    }
    (kind == 1 ? code.ptx : code.machine_code).push_back(read_at<uint32_t>(bytes, at + 28));
    at += entry_header + payload;
  }
  code.present = !code.ptx.empty() || !code.machine_code.empty();
  return code;
}

std::string architectures(const char* prefix, const std::vector<unsigned>& list) {
  std::string text;
  for (unsigned arch : list) {
    text += (text.empty() ? "" : " ") + std::string(prefix) + std::to_string(arch);
  }
  return text;
}

}  // namespace

GpuCode find_gpu_code(const unsigned char* bytes, size_t size) {
  const unsigned char magic[] = {0x50, 0xED, 0x55, 0xBA};
  for (size_t at = 0; at + 16 <= size; ++at) {
    const void* hit = std::memchr(bytes + at, magic[0], size - at);
    if (hit == nullptr) break;
    at = static_cast<size_t>(static_cast<const unsigned char*>(hit) - bytes);
    if (at + 16 > size) break;
    if (std::memcmp(bytes + at, magic, sizeof magic) != 0) continue;
    GpuCode code = read_fatbin(bytes + at, size - at);
    if (code.present) return code;
  }
  return {};
}

GpuCode find_gpu_code(const std::string& module_path) {
  std::ifstream in(module_path, std::ios::binary);
  const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in),
                                         std::istreambuf_iterator<char>()};
  return find_gpu_code(bytes.data(), bytes.size());
}

std::string describe_gpu_code(const GpuCode& code) {
  if (!code.present) {
    return "none (built without the CUDA toolkit): every frame takes the CPU path";
  }
  std::string text;
  if (!code.machine_code.empty()) text = "machine code " + architectures("sm_", code.machine_code);
  if (!code.ptx.empty()) {
    text += (text.empty() ? "" : ", ") + std::string("PTX ") + architectures("compute_", code.ptx);
  }
  return text;
}

std::string describe_cpu_routine() {
  std::string known;
  for (CpuVersion version : all_cpu_versions()) {
    known += (known.empty() ? "" : ", ") + std::string(cpu_version_name(version));
  }
  return std::string(cpu_version_name(best_cpu_version())) + " (the best of " + known +
         " that this processor runs)";
}

}  // namespace qnr
