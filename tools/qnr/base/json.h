// JSON text that qnr writes by hand (qnr status --json, the tuning page's
// API): its one string writer.
#pragma once

#include <string>

namespace qnr {

// `text` as a JSON string, quotes included: quotes, backslashes and control
// characters escaped, every other byte as it is (UTF-8 stays UTF-8).
std::string json_string(const std::string& text);

}  // namespace qnr
