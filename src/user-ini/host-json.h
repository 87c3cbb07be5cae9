// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// The browser dock list of user.ini read as the host's JSON reader reads it.
// No host involved.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

// The host's JSON reader rejects a value nested deeper than this; the list
// itself is at depth 0.
inline constexpr int max_json_depth = 200;

struct dock_list_element {
	std::string_view text; // the element's stored bytes, without surrounding whitespace
	bool is_object = false;
	// The "title", "url" and "uuid" members of an object, when they are
	// strings, as the host takes them: decoded and cut at their first NUL
	// (the last one wins when a name repeats).
	std::optional<std::string> title, url, uuid;
};

// Reads a stored value (as user.ini holds it, see host-ini.h) as the host
// reads the dock list: its INI escapes (\\, \n, \r) undone, then JSON as the
// host's reader takes it (no UTF-8 check inside strings, no raw control
// characters, nesting at most max_json_depth), whose top level is an array.
// Calls `each`, when given, with every element of the array in order as it
// is read, so a value that turns out unreadable may have shown some. False
// when the host could not read the value as a list. Element texts point
// into `stored_value`.
bool read_dock_list(std::string_view stored_value,
		    const std::function<void(const dock_list_element &)> &each = nullptr);
