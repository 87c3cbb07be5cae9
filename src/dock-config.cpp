// SPDX-License-Identifier: GPL-2.0-or-later
#include "dock-config.h"

#include "service-context.h"

#include <cstdio>

void dock_config_json(char *dst, size_t dst_size)
{
	char live_url[service_url_size];
	char chat_url[service_url_size];
	dock_url(live_url, sizeof(live_url), live_dock_path);
	dock_url(chat_url, sizeof(chat_url), chat_dock_path);

	std::snprintf(dst, dst_size,
		      "[{\"title\":\"%s\",\"url\":\"%s\",\"uuid\":\"%s\"},"
		      "{\"title\":\"%s\",\"url\":\"%s\",\"uuid\":\"%s\"}]",
		      "Brivora Dock Live", live_url, "brivora_live_dock", "Brivora Chat", chat_url,
		      "brivora_chat_dock");
}

void expected_docks_line(char *dst, size_t dst_size)
{
	char docks[dock_config_size];
	dock_config_json(docks, sizeof(docks));
	std::snprintf(dst, dst_size, "ExtraBrowserDocks=%s", docks);
}
