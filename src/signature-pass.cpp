// SPDX-License-Identifier: GPL-2.0-or-later
#include "signature-pass.h"

#include "alert-sweep.h"
#include "context-discovery.h"
#include "dock-repair.h"
#include "service-context.h"

#include <cstring>
#include <obs-frontend-api.h>
#include <obs.hpp>

namespace {

constexpr long long signature_width = 560;
constexpr long long signature_height = 80;
constexpr vec2 signature_position = {{{1348.0f, 992.0f}}};

OBSDataAutoRelease signature_settings(const char *url)
{
	OBSDataAutoRelease settings = obs_data_create();
	obs_data_set_string(settings, "url", url);
	obs_data_set_int(settings, "width", signature_width);
	obs_data_set_int(settings, "height", signature_height);
	obs_data_set_bool(settings, "shutdown", false);
	obs_data_set_bool(settings, "restart_when_active", true);
	return settings;
}

bool signature_settings_hold(obs_source_t *source, const char *url)
{
	OBSDataAutoRelease current = obs_source_get_settings(source);
	if (!current)
		return false;
	const char *current_url = obs_data_get_string(current, "url");
	return current_url && std::strcmp(current_url, url) == 0 &&
	       obs_data_get_int(current, "width") == signature_width &&
	       obs_data_get_int(current, "height") == signature_height &&
	       !obs_data_get_bool(current, "shutdown") && obs_data_get_bool(current, "restart_when_active");
}

bool remember_item(obs_scene_t *, obs_sceneitem_t *item, void *last) noexcept
{
	*static_cast<obs_sceneitem_t **>(last) = item;
	return true;
}

// The enumeration runs bottom to top: the last item it passes is on top.
bool is_top_item(obs_scene_t *scene, obs_sceneitem_t *item)
{
	obs_sceneitem_t *last = nullptr;
	obs_scene_enum_items(scene, remember_item, &last);
	return last == item;
}

// Each call only where the item differs: the host does real work for each
// (a reorder signal, and the frontend saving the whole collection).
void place_signature_item(obs_scene_t *scene, obs_sceneitem_t *item)
{
	if (!obs_sceneitem_visible(item))
		obs_sceneitem_set_visible(item, true);
	if (!obs_sceneitem_locked(item))
		obs_sceneitem_set_locked(item, true);
	vec2 pos;
	obs_sceneitem_get_pos(item, &pos);
	if (pos.x != signature_position.x || pos.y != signature_position.y)
		obs_sceneitem_set_pos(item, &signature_position);
	if (!is_top_item(scene, item))
		obs_sceneitem_set_order(item, OBS_ORDER_MOVE_TOP);
}

} // namespace

void update_browser_source(obs_source_t *source, const char *url)
{
	if (signature_settings_hold(source, url))
		return;
	OBSDataAutoRelease settings = signature_settings(url);
	obs_source_update(source, settings);
}

obs_source_t *create_signature_source(const char *url)
{
	OBSDataAutoRelease settings = signature_settings(url);
	return obs_source_create(signature_source_kind, signature_source_name, settings, nullptr);
}

void ensure_signature()
{
	OBSSourceAutoRelease scene_source = obs_frontend_get_current_scene();
	if (!scene_source)
		return;
	obs_scene_t *scene = obs_scene_from_source(scene_source);
	if (!scene)
		return;

	absorb_user_ini_context();
	absorb_existing_signature_context(scene);
	repair_obs_docks();

	char url[service_url_size];
	signature_url(url, sizeof(url));

	OBSSourceAutoRelease signature = obs_get_source_by_name(signature_source_name);
	if (signature)
		update_browser_source(signature, url);
	else
		signature = create_signature_source(url);
	if (!signature)
		return;

	obs_sceneitem_t *item = obs_scene_find_source(scene, signature_source_name);
	if (!item)
		item = obs_scene_add(scene, signature);
	if (item)
		place_signature_item(scene, item);

	remove_duplicate_alert_items(scene);
}
