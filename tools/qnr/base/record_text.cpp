#include "base/record_text.h"

#include <charconv>

namespace qnr {

namespace {

std::string escape(const std::string& value) {
  std::string out;
  for (const char c : value) {
    if (c == '%') {
      out += "%25";
    } else if (c == '\n') {
      out += "%0A";
    } else if (c == '\r') {
      out += "%0D";
    } else {
      out += c;
    }
  }
  return out;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string unescape(const std::string& value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '%') {
      out += value[i];
      continue;
    }
    const int high = i + 2 < value.size() ? hex_digit(value[i + 1]) : -1;
    const int low = i + 2 < value.size() ? hex_digit(value[i + 2]) : -1;
    if (high < 0 || low < 0) throw RecordError("a bad escape in \"" + value + "\"");
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

}  // namespace

void TextRecord::add(const std::string& key, const std::string& value) {
  fields.emplace_back(key, value);
}

void TextRecord::add_number(const std::string& key, int64_t value) {
  fields.emplace_back(key, std::to_string(value));
}

const std::string& TextRecord::text(const std::string& key) const {
  for (const auto& [name, value] : fields) {
    if (name == key) return value;
  }
  throw RecordError("it has no " + key);
}

int64_t TextRecord::number(const std::string& key) const {
  const std::string& value = text(key);
  int64_t number = 0;
  const char* end = value.data() + value.size();
  const auto [ptr, ec] = std::from_chars(value.data(), end, number);
  if (value.empty() || ec != std::errc() || ptr != end) {
    throw RecordError("its " + key + " is not a number: \"" + value + "\"");
  }
  return number;
}

bool TextRecord::flag(const std::string& key) const {
  const std::string& value = text(key);
  if (value != "0" && value != "1") throw RecordError("its " + key + " is not 0 or 1");
  return value == "1";
}

std::vector<std::string> TextRecord::all(const std::string& key) const {
  std::vector<std::string> values;
  for (const auto& [name, value] : fields) {
    if (name == key) values.push_back(value);
  }
  return values;
}

std::string to_text(const TextRecord& record) {
  std::string text = record.kind + "\n";
  for (const auto& [key, value] : record.fields) text += key + " " + escape(value) + "\n";
  return text;
}

TextRecord parse_text_record(const std::string& text, const std::string& kind) {
  TextRecord record;
  size_t at = 0;
  bool first = true;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    if (end == std::string::npos) throw RecordError("it ends in the middle of a line");
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    if (first) {
      if (line != kind) throw RecordError("it does not start with \"" + kind + "\"");
      record.kind = line;
      first = false;
      continue;
    }
    const size_t space = line.find(' ');
    if (space == std::string::npos || space == 0) throw RecordError("a line has no key");
    record.fields.emplace_back(line.substr(0, space), unescape(line.substr(space + 1)));
  }
  if (first) throw RecordError("it is empty");
  return record;
}

std::string to_hex(const uint8_t* bytes, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

std::vector<uint8_t> from_hex(const std::string& text) {
  if (text.size() % 2 != 0) throw RecordError("odd hexadecimal");
  std::vector<uint8_t> bytes(text.size() / 2);
  for (size_t i = 0; i < bytes.size(); ++i) {
    const int high = hex_digit(text[2 * i]);
    const int low = hex_digit(text[2 * i + 1]);
    if (high < 0 || low < 0) throw RecordError("bad hexadecimal");
    bytes[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return bytes;
}

}  // namespace qnr
