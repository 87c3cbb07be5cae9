// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// The host's browser dock list, read by meaning: the JSON array stored as the
// [BasicWindow] ExtraBrowserDocks value of user.ini. No host involved.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Deeper nesting is treated as a value that does not parse.
inline constexpr size_t max_dock_list_depth = 1024;

struct dock_list_element {
	std::string_view text; // the element's stored bytes, without surrounding whitespace
	bool is_object = false;
	// The decoded "title", "url" and "uuid" members of an object, when they
	// are strings (the last one wins when a name repeats).
	std::optional<std::string> title, url, uuid;
};

// The elements of a stored ExtraBrowserDocks value, read as the host reads
// it: its INI escapes (\\, \n, \r) undone, then strict JSON (RFC 8259) in
// UTF-8 whose top level is an array. nullopt when it does not parse.
// Element texts point into `stored_value`.
std::optional<std::vector<dock_list_element>> parse_dock_list(std::string_view stored_value);

// An object whose "url" holds "/brivora/" or whose "uuid" starts with "brivora_".
bool is_service_entry(const dock_list_element &element);

// nullopt while the docks line of `content` (a whole user.ini) is in order:
// exactly one ExtraBrowserDocks line in its [BasicWindow] sections, whose
// list holds the service's two docks of `service_entries` (two JSON objects
// joined by ',') as its only service entries, or which is already the line
// the repair would write. Otherwise that line: "ExtraBrowserDocks=[", the
// other elements of the first such line in their order and bytes, then the
// service entries, "]".
std::optional<std::string> docks_line_repair(std::string_view content, std::string_view service_entries);
