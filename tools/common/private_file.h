// SPDX-License-Identifier: LGPL-2.1-or-later
// Files for the user's eyes alone, put where others may write too (a shared
// folder): never written through a planted link, never an existing file
// reused or replaced.
#ifndef VESSIK_TOOLS_PRIVATE_FILE_H
#define VESSIK_TOOLS_PRIVATE_FILE_H

#include <string>

namespace vessik_tools {

// Moves `from` to `to` unless something, a planted link included, is already
// called `to` (errno EEXIST then).
bool move_without_replacing(const std::string &from, const std::string &to);

// Writes `contents` as the new file `path`, mode 0600: into a temporary file
// made beside it (O_EXCL | O_NOFOLLOW), then moved to `path` unless that name
// is taken. False with errno set (EEXIST: `path` exists and is left as it
// was); the temporary file is gone either way.
bool write_new_private_file(const std::string &path, const std::string &contents);

} // namespace vessik_tools

#endif
