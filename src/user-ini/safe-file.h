// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Whole-file reads and the atomic replacement of a configuration file. Plain
// POSIX file operations; no host involved.

enum class file_read { ok, missing, failed };

// What tells one state of a file from another without reading it: device and
// inode, size, and modification and change times in nanoseconds.
struct file_identity {
	uint64_t device = 0, inode = 0;
	int64_t size = 0;
	int64_t modified_s = 0, modified_ns = 0, changed_s = 0, changed_ns = 0;
	bool operator==(const file_identity &) const = default;
};

// Reads the whole file into `content`. `missing` only when the file does not
// exist; anything that keeps it from being read completely, a file that is
// not a regular file or one larger than `max_size` bytes is `failed`. Never
// waits to open it. With `ok`, the file's identity as it was opened goes to
// `identity` when it is given.
file_read read_file_text(const char *path, std::string &content, size_t max_size, file_identity *identity = nullptr);

// The identity of the file at `path` (links followed, as by a read). False
// when there is none.
bool current_file_identity(const char *path, file_identity &identity);

// When `path` is absent but `bak_path` exists (left by an earlier version's
// swap, interrupted between its two renames), moves the backup back into
// place, never over a file that appears at `path` meanwhile. True when it
// did. A backup is never removed otherwise.
bool restore_leftover_backup(const char *path, const char *bak_path);

enum class file_replace {
	replaced,
	not_started, // no regular file at `path`; nothing changed
	failed,      // the temporary file could not be made, written or renamed; `path` is as it was
};

// Writes `content` to a temporary file of its own beside `path` (named
// "<path>.brivora-<pid>-<random>.tmp", created new, never through a link,
// with the permission bits of `path`), flushes it to disk, renames it over
// `path` and flushes the folder. Several writers at once each replace the
// file whole. On any failure the temporary file is removed and `path` keeps
// its previous content.
file_replace replace_file(const char *path, std::string_view content);
