// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// The docks line of user.ini: the [BasicWindow] ExtraBrowserDocks line, its
// browser dock list read by meaning (a JSON array), the line the repair
// writes, and the rewrite of the whole file around it. No host involved.

#include "context/service-context.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::string_view docks_key = "ExtraBrowserDocks=";

// The host's JSON reader rejects a value nested deeper than this; the list
// itself is at depth 0.
inline constexpr int max_json_depth = 200;

struct dock_list_element {
	std::string_view text; // the element's stored bytes, without surrounding whitespace
	bool is_object = false;
	// The decoded "title", "url" and "uuid" members of an object, when they
	// are strings (the last one wins when a name repeats).
	std::optional<std::string> title, url, uuid;
};

// Reads a stored ExtraBrowserDocks value as the host reads it: up to its
// first line end or NUL, its INI escapes (\\, \n, \r) undone, then JSON as
// the host's reader takes it (no UTF-8 check inside strings, no raw control
// characters, nesting at most max_json_depth), whose top level is an array.
// Calls `each`, when given, with every element of the array in order as it
// is read, so a value that turns out unreadable may have shown some. False
// when the host could not read the value as a list. Element texts point
// into `stored_value`.
bool read_dock_list(std::string_view stored_value,
		    const std::function<void(const dock_list_element &)> &each = nullptr);

// An object whose "url" holds "/brivora/" or whose "uuid" starts with "brivora_".
bool is_service_entry(const dock_list_element &element);

// Learns the context from the service's own entries of the [BasicWindow]
// ExtraBrowserDocks lists of a whole user.ini: in file order, then list
// order, one decoded URL at a time, from lists the host can read. Stops
// once the context is complete. No other line teaches anything.
void absorb_user_ini_docks(service_context &context, std::string_view content);

// nullopt while the docks line of `content` (a whole user.ini) is in order:
// exactly one ExtraBrowserDocks line in its [BasicWindow] sections, whose
// list holds the service's two docks of `service_entries` (two JSON objects
// joined by ',') as its only service entries, or which is already the line
// the repair would write. Otherwise that line: "ExtraBrowserDocks=[", the
// other elements of the first such line in their order and bytes, then the
// service entries, "]".
std::optional<std::string> docks_line_repair(std::string_view content, std::string_view service_entries);

// user.ini rewritten so that its [BasicWindow] section holds `expected_line`
// as its only ExtraBrowserDocks line. Every other line is kept in order; line
// ends become a single line feed. Content is handled with its real length, so
// NUL bytes are kept too.
std::string rewrite_user_ini(std::string_view content, std::string_view expected_line);

// The values of the ExtraBrowserDocks lines of the [BasicWindow] sections, in
// file order: the lines `rewrite_user_ini` replaces.
std::vector<std::string_view> basic_window_docks_values(std::string_view content);
