// SPDX-License-Identifier: GPL-2.0-or-later
#include "alert-sweep.h"

#include "host-helpers.h"
#include "plugin-support.h"
#include "signature-pass.h"

#include <cstring>

namespace {

// The host's enumeration has already read the next item, so removing the
// item it hands us is safe; no other item is touched from here.
bool remove_duplicate_alert_item(obs_scene_t *, obs_sceneitem_t *item, void *) noexcept
{
	obs_source_t *source = obs_sceneitem_get_source(item);
	const char *name = obs_source_get_name(source);

	char url[source_url_size];
	source_url(url, sizeof(url), source);

	// The signature's own URL holds the marker when the slug is "alerts".
	if (name && std::strcmp(name, protected_alerts_name) != 0 && std::strcmp(name, signature_source_name) != 0 &&
	    std::strstr(url, alerts_marker)) {
		obs_log(LOG_INFO, "removing duplicate alerts source: %s", name);
		obs_sceneitem_remove(item);
	}
	return true;
}

} // namespace

void remove_duplicate_alert_items(obs_scene_t *scene)
{
	obs_scene_enum_items(scene, remove_duplicate_alert_item, nullptr);
}
