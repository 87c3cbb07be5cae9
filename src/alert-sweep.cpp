// SPDX-License-Identifier: GPL-2.0-or-later
#include "alert-sweep.h"

#include "host-helpers.h"
#include "plugin-support.h"
#include "signature-pass.h"

#include <cstring>
#include <obs.hpp>
#include <vector>

namespace {

// The signature's own URL holds the marker when the slug is "alerts".
bool is_duplicate_alert(obs_source_t *source, const char *name)
{
	char url[source_url_size];
	source_url(url, sizeof(url), source);
	return name && std::strcmp(name, protected_alerts_name) != 0 && std::strcmp(name, signature_source_name) != 0 &&
	       std::strstr(url, alerts_marker);
}

bool collect_duplicate_alert_item(obs_scene_t *, obs_sceneitem_t *item, void *param) noexcept
{
	auto &duplicates = *static_cast<std::vector<OBSSceneItemAutoRelease> *>(param);
	obs_source_t *source = obs_sceneitem_get_source(item);
	if (!is_duplicate_alert(source, obs_source_get_name(source)))
		return true;
	// Room first: nothing may unwind through the host's enumeration.
	try {
		if (duplicates.size() == duplicates.capacity())
			duplicates.reserve(2 * duplicates.size() + 4);
	} catch (...) {
		return false;
	}
	obs_sceneitem_addref(item);
	duplicates.emplace_back(item);
	return true;
}

} // namespace

void remove_duplicate_alert_items(obs_scene_t *scene)
{
	// Removed only once the enumeration has let go of the scene's lock: an
	// item that holds its source's last reference destroys that source,
	// which takes the host's source list lock, and the graphics thread
	// takes those two locks in the other order.
	std::vector<OBSSceneItemAutoRelease> duplicates;
	obs_scene_enum_items(scene, collect_duplicate_alert_item, &duplicates);
	for (const auto &item : duplicates) {
		obs_log(LOG_INFO, "removing duplicate alerts source: %s",
			obs_source_get_name(obs_sceneitem_get_source(item)));
		obs_sceneitem_remove(item);
	}
}
