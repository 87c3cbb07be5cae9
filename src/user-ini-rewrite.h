// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <string>
#include <string_view>
#include <vector>

inline constexpr std::string_view docks_key = "ExtraBrowserDocks=";

// user.ini rewritten so that its [BasicWindow] section holds `expected_line`
// as its only ExtraBrowserDocks line. Every other line is kept in order; line
// ends become a single line feed. Content is handled with its real length, so
// NUL bytes are kept too.
std::string rewrite_user_ini(std::string_view content, std::string_view expected_line);

// The values of the ExtraBrowserDocks lines of the [BasicWindow] sections, in
// file order: the lines `rewrite_user_ini` replaces.
std::vector<std::string_view> basic_window_docks_values(std::string_view content);
