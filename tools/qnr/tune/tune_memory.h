// The settings last chosen with `qnr tune` for each input, so that tuning the
// same file again starts where the last session ended. One small file per
// input under $XDG_STATE_HOME/qnr/tune (or ~/.local/state/qnr/tune), named by
// a hash of the input's identity: its full path, size and modification time.
// A changed file is a new input. Nothing here ever fails a run: a state
// folder that cannot be read or written only loses the memory.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace qnr {

// The folder the memory lives in, or none when neither XDG_STATE_HOME nor
// HOME says where.
std::optional<std::filesystem::path> tune_memory_folder();

// The file holding `input`'s memory, or none when the input cannot be found.
std::optional<std::filesystem::path> tune_memory_file(const std::string& input);

// The settings line last chosen for `input` ("Config(...)"), if any.
std::optional<std::string> recall_settings(const std::string& input);

// Keeps `line` as `input`'s settings, replacing what was kept. False (with a
// one-line reason) when it cannot be written.
bool remember_settings(const std::string& input, const std::string& line, std::string& reason);

}  // namespace qnr
