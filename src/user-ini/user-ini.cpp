// SPDX-License-Identifier: GPL-2.0-or-later
#include "user-ini/user-ini.h"

#include "module/plugin-support.h"
#include "user-ini/dock-line.h"

#include <cstdio>
#include <util/platform.h>

bool user_ini_path(char *path, size_t path_size)
{
	int length = os_get_config_path(path, path_size, "obs-studio/user.ini");
	// The host reports the full length even when it had to cut the path;
	// a cut path names some other file.
	return length > 0 && static_cast<size_t>(length) < path_size;
}

user_ini::user_ini(const user_ini_memory &memory)
{
	has_path_ = user_ini_path(path_, sizeof(path_));
	if (!has_path_ || !memory.in_order_known)
		return;
	file_identity now;
	unchanged_ = current_file_identity(path_, now) && now == memory.in_order_file;
}

const std::string *user_ini::content()
{
	if (!has_path_)
		return nullptr;
	if (!read_) {
		// One non-blocking read: a pipe or device at the path is never read.
		status_ = read_file_text(path_, content_, max_user_ini_size, &identity_);
		read_ = true;
	}
	return status_ == file_read::ok ? &content_ : nullptr;
}

void absorb_user_ini_context(service_context &context, user_ini &ini, user_ini_memory &memory)
{
	if (context.complete() || ini.unchanged())
		return;
	if (const std::string *content = ini.content())
		absorb_user_ini_docks(context, *content, memory.module_docks);
}

void repair_obs_docks(const service_context &context, user_ini &ini, user_ini_memory &memory)
{
	if (context.widget_token[0] == '\0' || !ini.has_path())
		return;

	std::string entries = context.dock_entries();
	if (ini.unchanged() && entries == memory.in_order_entries)
		return;

	char bak_path[config_path_size + 16];
	std::snprintf(bak_path, sizeof(bak_path), "%s.brivora.bak", ini.path());

	if (restore_leftover_backup(ini.path(), bak_path))
		ini.forget_content();

	// The host creates user.ini; a file we created ourselves would keep
	// newer hosts from migrating the user's older settings. And a file we
	// cannot read whole is never rewritten from a part of it.
	memory.in_order_known = false;
	const std::string *content = ini.content();
	if (!content)
		return;

	const std::optional<std::string> repaired = repaired_user_ini(*content, entries);
	if (!repaired) {
		memory.in_order_known = true;
		memory.in_order_file = ini.identity();
		memory.in_order_entries = std::move(entries);
		return;
	}

	switch (replace_file(ini.path(), *repaired)) {
	case file_replace::replaced:
		memory.module_docks = module_docks_seen::written_for(context);
		memory.failure_reported = false;
		obs_log(LOG_INFO,
			"Brivora: OBS docks updated for %s. Restart OBS if the old login docks are still open.",
			context.streamer_slug);
		break;
	case file_replace::failed:
		if (!memory.failure_reported)
			obs_log(LOG_WARNING,
				"Brivora: OBS docks update failed. Close OBS and run the installer as administrator.");
		memory.failure_reported = true;
		break;
	case file_replace::not_started:
		break;
	}
}
