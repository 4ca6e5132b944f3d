#include "script_line.h"

#include <cctype>
#include <charconv>
#include <limits>

namespace vdhost {

namespace {

struct Cursor {
  const std::string& text;
  size_t at = 0;

  void skip_space() {
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
  }
  bool take(char c) {
    skip_space();
    if (at < text.size() && text[at] == c) {
      ++at;
      return true;
    }
    return false;
  }
  bool take_word(const std::string& word) {
    if (text.compare(at, word.size(), word) != 0) return false;
    at += word.size();
    return true;
  }
  std::string identifier() {
    skip_space();
    const size_t start = at;
    while (at < text.size() &&
           (std::isalnum(static_cast<unsigned char>(text[at])) || text[at] == '_')) {
      ++at;
    }
    if (at > start && std::isdigit(static_cast<unsigned char>(text[start]))) {
      at = start;
      return {};
    }
    return text.substr(start, at - start);
  }
  // The rest of the current argument, for messages.
  std::string token() const {
    size_t end = at;
    while (end < text.size() && text[end] != ',' && text[end] != ')') ++end;
    std::string out = text.substr(at, end - at);
    while (!out.empty() && std::isspace(static_cast<unsigned char>(out.back()))) out.pop_back();
    return out;
  }
  std::string rest() const { return text.substr(at); }
};

// The prefix a host writes before each filter's line in a saved script.
void skip_host_prefix(Cursor& c) {
  const size_t start = c.at;
  if (c.take_word("VirtualDub.video.filters.instance[")) {
    while (c.at < c.text.size() && std::isdigit(static_cast<unsigned char>(c.text[c.at]))) ++c.at;
    if (c.take_word("].")) return;
  }
  c.at = start;
}

// Why the argument at `start` is not an integer.
std::string argument_error(Cursor& c, size_t start, const ScriptCall& call) {
  const std::string number = std::to_string(call.arguments.size() + 1);
  c.at = start;
  const std::string what = c.token();
  if (!what.empty()) {
    return "argument " + number + " of " + call.name + " is not an integer: \"" + what + "\"";
  }
  return c.at >= c.text.size() ? "missing ')' at the end of the line"
                               : "argument " + number + " of " + call.name + " is missing";
}

// One integer argument, up to the ',' or ')' after it.
bool read_argument(Cursor& c, ScriptCall& call, std::string& error) {
  const std::string& line = c.text;
  c.skip_space();
  const size_t start = c.at;
  if (c.at < line.size() && (line[c.at] == '-' || line[c.at] == '+')) ++c.at;
  while (c.at < line.size() && std::isdigit(static_cast<unsigned char>(line[c.at]))) ++c.at;
  const std::string digits = line.substr(start, c.at - start);
  c.skip_space();
  const bool separated = c.at < line.size() && (line[c.at] == ',' || line[c.at] == ')');
  if (c.at >= line.size() && !digits.empty()) {
    error = "missing ')' at the end of the line";
    return false;
  }
  if (!separated || digits.empty() || digits == "-" || digits == "+") {
    error = argument_error(c, start, call);
    return false;
  }
  int64_t value = 0;
  const char* first = digits.data() + (digits[0] == '+' ? 1 : 0);
  auto [ptr, ec] = std::from_chars(first, digits.data() + digits.size(), value);
  if (ec != std::errc() || value < std::numeric_limits<int32_t>::min() ||
      value > std::numeric_limits<int32_t>::max()) {
    error = "argument " + std::to_string(call.arguments.size() + 1) + " of " + call.name + " (" +
            digits + ") does not fit a 32-bit integer";
    return false;
  }
  call.arguments.push_back(static_cast<int32_t>(value));
  return true;
}

// The arguments after '(', up to and including ')'.
bool read_arguments(Cursor& c, ScriptCall& call, std::string& error) {
  if (c.take(')')) return true;
  for (;;) {
    if (!read_argument(c, call, error)) return false;
    if (c.take(')')) return true;
    c.take(',');
  }
}

}  // namespace

bool parse_script_line(const std::string& line, ScriptCall& call, std::string& error) {
  Cursor c{line};
  call = {};
  c.skip_space();
  if (c.at == line.size()) {
    error = "the settings line is empty; write it as Config(f1,f2,sharp,interlace,multithreading)";
    return false;
  }
  skip_host_prefix(c);
  call.name = c.identifier();
  if (call.name.empty()) {
    error = "expected a command name such as Config at \"" + c.rest() + "\"";
    return false;
  }
  if (!c.take('(')) {
    error = "expected '(' after " + call.name;
    return false;
  }
  if (!read_arguments(c, call, error)) return false;
  c.take(';');
  c.skip_space();
  if (c.at != line.size()) {
    error = "unexpected text after " + call.name + "(...): \"" + c.rest() + "\"";
    return false;
  }
  return true;
}

}  // namespace vdhost
