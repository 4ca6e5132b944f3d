// What qnr asks of the machine it runs on: its processors, its name, and
// where the running qnr program is.
#pragma once

#include <string>

namespace qnr {

// The processors this machine offers, at least 1 and at most `most`.
int processor_count(int most);

// This machine's name, with only letters, digits and '-' (others become
// '_'), for names of files that several machines share; "host" when unknown.
std::string host_name();

// The path of the running program; "" when the system does not say.
std::string executable_path();

}  // namespace qnr
