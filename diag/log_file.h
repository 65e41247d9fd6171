// The log's files, opened, moved and emptied without following a link or writing into something
// the relay did not create.
#pragma once

#include <cstdio>

namespace orv {

// Opens path for appending: a regular file with no other name, created when missing. A link, a
// second name of another file or a device at path is never written through: that name alone is
// removed and a new file made in its place. nullptr with errno set when that fails (a folder at
// path, a missing or unwritable data folder).
std::FILE* log_file_open(const char* path);
// The size in bytes of a file log_file_open returned, or -1.
long long log_file_size(std::FILE* file);
// Empties a file log_file_open returned; later writes start at its beginning. False with errno.
bool log_file_truncate(std::FILE* file);
// Renames from to to, replacing a file or a link there (never what a link points to) but never a
// folder. False with errno set.
bool log_file_move(const char* from, const char* to);
// True when path itself (not what a link there points to) is a folder.
bool log_file_is_folder(const char* path);

}  // namespace orv
