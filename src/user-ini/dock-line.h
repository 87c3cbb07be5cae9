// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// What the docks line of user.ini means: the browser dock list the host
// shows (the last ExtraBrowserDocks of the last [BasicWindow] section, as
// host-ini.h reads it), which of its docks are the service's, what they
// teach, and the value the repair writes. No host involved.

#include "context/service-context.h"
#include "user-ini/host-json.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::string_view basic_window_section = "BasicWindow";
inline constexpr std::string_view docks_key = "ExtraBrowserDocks";

// An object whose "url" is the service's (see is_service_url) or whose
// "uuid" starts with "brivora_" (the older login dock lives on another host).
bool is_service_entry(const dock_list_element &element);

// The URLs of the module's own two docks (by their uuids) in the dock list
// the host shows, as the module last read or wrote them this session.
struct module_docks_seen {
	bool known = false; // nothing read or written yet
	std::vector<std::string> urls;

	// What the module writes for `context`.
	static module_docks_seen written_for(const service_context &context);
};

// Learns the context from the service's own entries of the dock list the
// host shows, in list order, while the context is not complete. Nothing
// else of user.ini teaches, nor a list the host cannot read. The module's
// own docks teach as its outputs unless they hold a URL other than `seen`
// holds (changed by the streamer, or the host, since); `seen` then holds
// what this list holds.
void absorb_user_ini_docks(service_context &context, std::string_view content, module_docks_seen &seen);

// nullopt while the dock list the host shows (`content` is a whole user.ini)
// holds the service's two docks of `service_entries` (two JSON objects
// joined by ',') as its only service entries, or is already what the repair
// writes. Otherwise the stored value the repair writes: "[", the other
// elements of that list in their order and stored bytes, then the service
// entries, "]".
std::optional<std::string> docks_value_repair(std::string_view content, std::string_view service_entries);

// user.ini with `docks_value` (stored bytes) as the value of the docks line
// the host reads: that value's bytes replaced, else the key added to the
// [BasicWindow] section the host reads, else that section added where the
// host still reads it. Every other byte stays as it was.
std::string rewrite_user_ini(std::string_view content, std::string_view docks_value);

// Both in one reading of `content`: user.ini with the repaired value, or
// nullopt while the docks line is in order.
std::optional<std::string> repaired_user_ini(std::string_view content, std::string_view service_entries);
