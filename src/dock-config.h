// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <cstddef>

inline constexpr size_t dock_config_size = 3200;
inline constexpr size_t expected_line_size = 3400;

// The JSON list of the service's live and chat docks for the current slug and
// token, on one line.
void dock_config_json(char *dst, size_t dst_size);

// "ExtraBrowserDocks=" followed by the dock list: the exact line user.ini must hold.
void expected_docks_line(char *dst, size_t dst_size);
