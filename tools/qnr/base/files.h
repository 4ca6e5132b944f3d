// Files written so that no reader ever sees one half done: each is written
// under a name of its own in the folder of its final name, then given that
// name in one step, so a failed, interrupted or killed writer leaves nothing
// that counts.
#pragma once

#include <string>

namespace qnr {

// `count` random lower-case letters and digits, for names no other writer
// picks.
std::string random_letters(int count);

// Gives the finished file `from` the name `to` (in the same file system) in
// one step: `to` appears whole or not at all, and `from` is gone. An
// existing `to` is replaced only when `replace`. Returns 0, or the errno
// value of the failure (EEXIST: `to` exists); `from` is then left as it was.
int put_in_place(const std::string& from, const std::string& to, bool replace);

// Syncs a folder's entries to its disk (after a file was put in place there).
void sync_folder(const std::string& path);

// Writes `text` as `path`, replacing any file there, atomically: written
// under another name in the same folder, synced, put in place, and the
// folder synced. Throws Failure.
void write_file_atomically(const std::string& path, const std::string& text);

// A small file's bytes. Throws Failure when it cannot be read; with
// `missing`, a file that is not there gives "" and sets it instead.
std::string read_small_file(const std::string& path, bool* missing = nullptr);

}  // namespace qnr
