// Small records kept as text in a job's folder (the plan, a segment's done
// record): a first line naming the kind of record, then one "key value" line
// per field. Values escape '%', CR and LF as %25, %0D and %0A, so any path or
// option fits on its line; a key may repeat for a list.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace qnr {

struct TextRecord {
  std::string kind;
  std::vector<std::pair<std::string, std::string>> fields;

  void add(const std::string& key, const std::string& value);
  void add_number(const std::string& key, int64_t value);

  // Each throws RecordError naming the key when it is missing or malformed.
  const std::string& text(const std::string& key) const;
  int64_t number(const std::string& key) const;
  bool flag(const std::string& key) const;  // "0" or "1"
  std::vector<std::string> all(const std::string& key) const;
};

struct RecordError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string to_text(const TextRecord& record);
// Throws RecordError when the text is not a record of `kind`.
TextRecord parse_text_record(const std::string& text, const std::string& kind);

// Bytes as lower-case hexadecimal, and back (throws RecordError).
std::string to_hex(const uint8_t* bytes, size_t size);
std::vector<uint8_t> from_hex(const std::string& text);

}  // namespace qnr
