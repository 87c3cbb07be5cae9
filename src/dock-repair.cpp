// SPDX-License-Identifier: GPL-2.0-or-later
#include "dock-repair.h"

#include "dock-config.h"
#include "dock-list.h"
#include "host-helpers.h"
#include "plugin-support.h"
#include "service-context.h"
#include "user-ini-file.h"
#include "user-ini-rewrite.h"

#include <cstdio>
#include <string>

namespace {

// A failure that repeats every pass is told once, then again only after a
// replacement has succeeded in between.
bool failure_reported = false;

} // namespace

void repair_obs_docks()
{
	if (widget_token[0] == '\0')
		return;

	char path[config_path_size];
	if (!obs_user_ini_path(path, sizeof(path)))
		return;

	char tmp_path[1100];
	char bak_path[1100];
	std::snprintf(tmp_path, sizeof(tmp_path), "%s.brivora.tmp", path);
	std::snprintf(bak_path, sizeof(bak_path), "%s.brivora.bak", path);

	restore_leftover_backup(path, bak_path);

	// The host creates user.ini; a file we created ourselves would keep
	// newer hosts from migrating the user's older settings. And a file we
	// cannot read whole is never rewritten from a part of it.
	std::string content;
	if (read_file_text(path, content) != file_read::ok)
		return;

	const std::optional<std::string> docks_line = docks_line_repair(content, service_dock_entries());
	if (!docks_line)
		return;

	switch (replace_file(path, tmp_path, rewrite_user_ini(content, *docks_line))) {
	case file_replace::replaced:
		failure_reported = false;
		obs_log(LOG_INFO, "Brivora: OBS docks updated for %s. Restart OBS if the old login docks are still open.",
			streamer_slug);
		break;
	case file_replace::failed:
		if (!failure_reported)
			obs_log(LOG_WARNING,
				"Brivora: OBS docks update failed. Close OBS and run the installer as administrator.");
		failure_reported = true;
		break;
	case file_replace::not_started:
		break;
	}
}
