// SPDX-License-Identifier: GPL-2.0-or-later
#include "dock-config.h"

#include "service-context.h"

namespace {

std::string dock_entry(const char *title, const char *dock_path, const char *uuid)
{
	char url[service_url_size];
	dock_url(url, sizeof(url), dock_path);
	return std::string("{\"title\":\"") + title + "\",\"url\":\"" + url + "\",\"uuid\":\"" + uuid + "\"}";
}

} // namespace

std::string service_dock_entries()
{
	return dock_entry("Brivora Dock Live", live_dock_path, "brivora_live_dock") + "," +
	       dock_entry("Brivora Chat", chat_dock_path, "brivora_chat_dock");
}
