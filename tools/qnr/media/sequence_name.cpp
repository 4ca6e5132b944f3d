#include "media/sequence_name.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <filesystem>

#include "media/libav.h"

namespace qnr {

namespace {

// The end of a %d or %0Nd field that starts at `at`, or npos.
size_t number_field_end(const std::string& text, size_t at) {
  size_t i = at + 1;
  if (i < text.size() && text[i] == '0') {
    const size_t digits = ++i;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
    if (i == digits) return std::string::npos;
  }
  return i < text.size() && text[i] == 'd' ? i + 1 : std::string::npos;
}

std::string file_name_of(const std::string& name) { return name.substr(name.rfind('/') + 1); }

// The literal text a pattern's piece stands for (%% is one %).
std::string literal(const std::string& piece) {
  std::string out;
  for (size_t i = 0; i < piece.size(); ++i) {
    out += piece[i];
    if (piece[i] == '%' && i + 1 < piece.size() && piece[i + 1] == '%') ++i;
  }
  return out;
}

}  // namespace

bool is_sequence_pattern(const std::string& name, const std::string& format) {
  const std::string file = file_name_of(name);
  const AVOutputFormat* container = format.empty()
                                        ? av_guess_format(nullptr, file.c_str(), nullptr)
                                        : av_guess_format(format.c_str(), nullptr, nullptr);
  if (container == nullptr || std::strcmp(container->name, "image2") != 0) return false;
  int fields = 0;
  for (size_t i = 0; i < file.size(); ++i) {
    if (file[i] != '%') continue;
    if (i + 1 < file.size() && file[i + 1] == '%') {
      ++i;
      continue;
    }
    const size_t end = number_field_end(file, i);
    if (end == std::string::npos) return false;
    ++fields;
    i = end - 1;
  }
  return fields == 1;
}

SequenceName split_sequence(const std::string& name) {
  const size_t slash = name.rfind('/');
  if (slash == std::string::npos) return {".", name};
  return {slash == 0 ? "/" : name.substr(0, slash), name.substr(slash + 1)};
}

std::string sequence_file_name(const std::string& pattern, int64_t number) {
  char name[PATH_MAX];
  if (number < 0 || number > INT_MAX ||
      av_get_frame_filename(name, sizeof name, pattern.c_str(), static_cast<int>(number)) < 0) {
    return "";
  }
  return name;
}

std::vector<SequenceFile> sequence_files(const SequenceName& sequence) {
  // The pattern's text before and after its number field.
  size_t field = 0;
  while ((field = sequence.pattern.find('%', field)) != std::string::npos &&
         sequence.pattern.compare(field, 2, "%%") == 0) {
    field += 2;
  }
  if (field == std::string::npos) return {};
  const std::string prefix = literal(sequence.pattern.substr(0, field));
  const std::string suffix =
      literal(sequence.pattern.substr(number_field_end(sequence.pattern, field)));

  std::vector<SequenceFile> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(sequence.folder, error)) {
    const std::string name = entry.path().filename().string();
    if (name.size() <= prefix.size() + suffix.size() || !name.starts_with(prefix) ||
        !name.ends_with(suffix)) {
      continue;
    }
    const std::string digits =
        name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (digits.size() > 10 || !std::all_of(digits.begin(), digits.end(), [](char c) {
          return std::isdigit(static_cast<unsigned char>(c));
        })) {
      continue;
    }
    const int64_t number = std::stoll(digits);
    // Only the spelling the pattern gives that number: img007.png, not img7.png.
    if (sequence_file_name(sequence.pattern, number) == name) files.push_back({number, name});
  }
  std::sort(files.begin(), files.end(),
            [](const SequenceFile& a, const SequenceFile& b) { return a.number < b.number; });
  return files;
}

std::string sequence_gap(const std::string& name) {
  const SequenceName sequence = split_sequence(name);
  const std::vector<SequenceFile> files = sequence_files(sequence);
  const auto shown = [&](const std::string& file) {
    return name.find('/') == std::string::npos ? file : sequence.folder + "/" + file;
  };
  for (size_t k = 1; k < files.size(); ++k) {
    const int64_t missing = files[0].number + static_cast<int64_t>(k);
    if (files[k].number == missing) continue;
    const size_t left_out = files.size() - k;
    return shown(sequence_file_name(sequence.pattern, missing)) +
           " is missing: the sequence is filtered up to it; " + std::to_string(left_out) +
           (left_out == 1 ? " later picture (" : " later pictures (") + shown(files[k].name) +
           (left_out == 1 ? "" : " to " + shown(files.back().name)) + ") left out";
  }
  return "";
}

std::string escape_percent(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

}  // namespace qnr
