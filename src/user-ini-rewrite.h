// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <string>
#include <string_view>

// user.ini rewritten so that its [BasicWindow] section holds `expected_line`
// as its only ExtraBrowserDocks line. Every other line is kept in order; line
// ends become a single line feed. Content is handled with its real length, so
// NUL bytes are kept too.
std::string rewrite_user_ini(std::string_view content, std::string_view expected_line);
