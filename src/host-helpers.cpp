// SPDX-License-Identifier: GPL-2.0-or-later
#include "host-helpers.h"

#include <cstdio>
#include <obs.hpp>
#include <util/platform.h>

bool obs_user_ini_path(char *path, size_t path_size)
{
	int length = os_get_config_path(path, path_size, "obs-studio/user.ini");
	// The host reports the full length even when it had to cut the path;
	// a cut path names some other file.
	return length > 0 && static_cast<size_t>(length) < path_size;
}

void source_url(char *dst, size_t dst_size, obs_source_t *source)
{
	if (dst_size == 0)
		return;
	dst[0] = '\0';
	if (!source)
		return;
	OBSDataAutoRelease settings = obs_source_get_settings(source);
	const char *url = settings ? obs_data_get_string(settings, "url") : nullptr;
	if (url)
		std::snprintf(dst, dst_size, "%s", url);
}
