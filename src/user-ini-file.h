// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <string>
#include <string_view>

// Whole-file reads and the backup-guarded replacement of a configuration
// file. Plain POSIX file operations; no host involved.

enum class file_read { ok, missing, failed };

// Reads the whole file into `content`. `missing` only when the file does not
// exist; anything that keeps it from being read completely is `failed`.
file_read read_file_text(const char *path, std::string &content);

// When `path` is absent but `bak_path` exists (a swap interrupted between its
// two renames), moves the backup back into place. True when it did.
bool restore_leftover_backup(const char *path, const char *bak_path);

enum class file_replace {
	replaced,
	not_started, // the temporary file could not be created; nothing changed
	failed,      // writing or swapping failed; `path` is as it was
};

// Writes `content` to `tmp_path` (with the permission bits of `path`),
// flushes it to disk, then swaps it in: `path` moves to `bak_path`, the
// temporary file to `path`, and the backup is removed. On any failure the
// temporary file is removed and `path` keeps its previous content.
file_replace replace_file_through_backup(const char *path, const char *tmp_path, const char *bak_path,
					 std::string_view content);
