// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <cstddef>
#include <obs.h>

inline constexpr size_t config_path_size = 1024;
inline constexpr size_t source_url_size = 1024;

// Full path of the host's per-user user.ini. False when the host cannot tell
// it, or when it does not fit `path_size`.
bool obs_user_ini_path(char *path, size_t path_size);

// The source's "url" setting, cut to dst_size - 1 characters; empty for a
// null source or one without that setting.
void source_url(char *dst, size_t dst_size, obs_source_t *source);
