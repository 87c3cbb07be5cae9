// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <string>
#include <string_view>

// Whole-file reads and the atomic replacement of a configuration file. Plain
// POSIX file operations; no host involved.

enum class file_read { ok, missing, failed };

// Reads the whole file into `content`. `missing` only when the file does not
// exist; anything that keeps it from being read completely, or a file that is
// not a regular file, is `failed`. Never waits to open it.
file_read read_file_text(const char *path, std::string &content);

// When `path` is absent but `bak_path` exists (left by an earlier version's
// swap, interrupted between its two renames), moves the backup back into
// place. True when it did. A backup is never removed.
bool restore_leftover_backup(const char *path, const char *bak_path);

enum class file_replace {
	replaced,
	not_started, // no regular file at `path`, or no temporary file; nothing changed
	failed,      // writing or renaming failed; `path` is as it was
};

// Writes `content` to `tmp_path` (a new file, never through a link, with the
// permission bits of `path`), flushes it to disk, renames it over `path` and
// flushes the folder. On any failure the temporary file is removed and `path`
// keeps its previous content.
file_replace replace_file(const char *path, const char *tmp_path, std::string_view content);
