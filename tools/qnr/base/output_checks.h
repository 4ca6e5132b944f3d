// Checks on an output's name made before any frame is decoded, so that a
// long run never ends in an error its first second could have given: the
// output is not the input (through any name, link or standard input), and a
// name that cannot be written is explained (the folder that is missing, a
// link loop, a name too long).
#pragma once

#include <sys/stat.h>

#include <string>

namespace qnr {

// "a/b" for "a/b/c.mkv", "." for "c.mkv".
std::string directory_of(const std::string& path);

// Whether two stat records are one file.
bool same_file(const struct stat& a, const struct stat& b);

// The input's stat record ("-" is standard input). False where it has none.
bool stat_input(const std::string& input, struct stat& info);

// Throws Failure (usage status) when `out`, a regular file that `output`
// names, is the input. Devices and pipes are never replaced, so they may be both.
void refuse_input(const std::string& output, const std::string& input, const struct stat& out);

// Throws Failure for `name`, which cannot be written into `folder` for
// `error` (an errno value), with what to do about it.
[[noreturn]] void throw_unwritable(const std::string& name, const std::string& folder, int error);

}  // namespace qnr
