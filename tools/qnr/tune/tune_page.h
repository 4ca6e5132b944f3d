// The page `qnr tune` serves: tune_page.html, carried in the program.
#pragma once

#include <string_view>

namespace qnr {

std::string_view tune_page();

}  // namespace qnr
