// SPDX-License-Identifier: GPL-2.0-or-later
#include "context-discovery.h"

#include "host-helpers.h"
#include "service-context.h"
#include "user-ini-file.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

bool absorb_context_item(obs_scene_t *, obs_sceneitem_t *item, void *) noexcept
{
	char url[source_url_size];
	source_url(url, sizeof(url), obs_sceneitem_get_source(item));
	absorb_url_context(url);
	return true;
}

} // namespace

void absorb_user_ini_context()
{
	char path[config_path_size];
	if (!obs_user_ini_path(path, sizeof(path)))
		return;

	// One non-blocking read: a pipe or device at the path teaches nothing.
	std::string content;
	if (read_file_text(path, content) != file_read::ok)
		return;

	// Longer lines come in pieces of 8191 characters; each piece is
	// examined on its own, as a C string.
	char piece[8192];
	for (size_t at = 0; at < content.size() && !service_context_complete();) {
		size_t length = std::min(content.size() - at, sizeof(piece) - 1);
		const size_t line_feed = content.find('\n', at);
		if (line_feed != std::string::npos && line_feed < at + length)
			length = line_feed - at + 1;
		std::memcpy(piece, content.data() + at, length);
		piece[length] = '\0';
		at += length;
		if (contains_token_key(piece))
			absorb_url_context(piece);
	}
}

void absorb_existing_signature_context(obs_scene_t *scene)
{
	obs_scene_enum_items(scene, absorb_context_item, nullptr);
}
