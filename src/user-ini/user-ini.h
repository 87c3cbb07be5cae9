// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// user.ini, the host's per-user settings file: read at most once a pass,
// and its docks line repaired once a token is known. Apart from the path,
// which the host knows, nothing here asks the host anything.

#include "context/service-context.h"
#include "user-ini/dock-line.h"
#include "user-ini/safe-file.h"

#include <cstddef>
#include <string>

inline constexpr size_t config_path_size = 1024;
// A larger user.ini is no host's: it is left alone, neither read nor rewritten.
inline constexpr size_t max_user_ini_size = size_t{16} << 20;

// Full path of the host's per-user user.ini. False when the host cannot tell
// it, or when it does not fit `path_size`.
bool user_ini_path(char *path, size_t path_size);

// What the module remembers of user.ini from one pass to the next.
struct user_ini_memory {
	// The file as the last pass that found its docks line in order read it,
	// and the service docks it held then.
	bool in_order_known = false;
	file_identity in_order_file;
	std::string in_order_entries;
	// The module's own docks as it last read or wrote them.
	module_docks_seen module_docks;
	// A failure that repeats every pass is told once, then again only after
	// a replacement has succeeded in between.
	bool failure_reported = false;
};

// user.ini for one pass: its path worked out once, the file read at most
// once (again only after a leftover backup was moved back into place).
class user_ini {
public:
	explicit user_ini(const user_ini_memory &memory);

	bool has_path() const { return has_path_; }
	const char *path() const { return path_; }

	// The file is the one the last pass that found it in order read: same
	// identity, not read again.
	bool unchanged() const { return unchanged_; }

	// The whole content, read on the first call; null when the file could
	// not be read whole.
	const std::string *content();
	// Its identity when `content` read it.
	const file_identity &identity() const { return identity_; }
	// The file changed under this pass: the next `content` reads it again.
	void forget_content() { read_ = false; }

private:
	char path_[config_path_size];
	bool has_path_ = false;
	bool unchanged_ = false;
	bool read_ = false;
	file_read status_ = file_read::failed;
	std::string content_;
	file_identity identity_;
};

// Learns from the service's docks in user.ini while the context is not
// complete (see absorb_user_ini_docks). A file unchanged since a pass that
// found it in order teaches nothing new: that pass read the same docks.
void absorb_user_ini_context(service_context &context, user_ini &ini, user_ini_memory &memory);

// Once a token is known, makes user.ini's [BasicWindow] ExtraBrowserDocks
// line hold the service's two docks beside the user's own, rewriting the
// file only when that line is not in order. Skips the read when the file is
// unchanged since it was found in order with the same service docks.
void repair_obs_docks(const service_context &context, user_ini &ini, user_ini_memory &memory);
