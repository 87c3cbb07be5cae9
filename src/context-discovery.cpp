// SPDX-License-Identifier: GPL-2.0-or-later
#include "context-discovery.h"

#include "host-helpers.h"
#include "service-context.h"

#include <cstdio>

namespace {

bool absorb_context_item(obs_scene_t *, obs_sceneitem_t *item, void *)
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

	FILE *file = std::fopen(path, "r");
	if (!file)
		return;

	// Longer lines arrive in pieces; each piece is examined on its own.
	char piece[8192];
	while (std::fgets(piece, sizeof(piece), file)) {
		if (!contains_token_key(piece))
			continue;
		absorb_url_context(piece);
		if (service_context_complete())
			break;
	}
	std::fclose(file);
}

void absorb_existing_signature_context(obs_scene_t *scene)
{
	obs_scene_enum_items(scene, absorb_context_item, nullptr);
}
