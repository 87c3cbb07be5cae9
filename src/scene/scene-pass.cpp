// SPDX-License-Identifier: GPL-2.0-or-later
#include "scene/scene-pass.h"

#include "module/plugin-support.h"
#include "scene/signature-position.h"

#include <cstdio>
#include <cstring>
#include <obs-frontend-api.h>
#include <obs.hpp>
#include <vector>

namespace {

constexpr long long signature_width = 560;
constexpr long long signature_height = 80;

// ---- the walk over the scene's items ----------------------------------------

// What one walk over the scene's items finds, bottom to top.
struct scene_walk {
	service_context &context;
	// The topmost item of the signature source, held for the pass: the one
	// that is kept in place (any others are left as they are).
	OBSSceneItemAutoRelease signature_item;
	obs_sceneitem_t *top = nullptr; // the last item the walk passes
	bool learning = true;           // the context is not complete yet
	std::vector<OBSSceneItemAutoRelease> duplicates;
	bool duplicates_complete = true; // false once there was no room to hold another
};

bool is_signature_name(const char *name)
{
	return name && std::strcmp(name, signature_source_name) == 0;
}

// A duplicate alert holds "/alerts/" in its URL. The service's own two
// sources are never one: the signature's URL holds the marker when the
// slug is "alerts".
bool may_be_duplicate_alert(const char *name)
{
	return name && std::strcmp(name, protected_alerts_name) != 0 && !is_signature_name(name);
}

void hold_duplicate(scene_walk &walk, obs_sceneitem_t *item)
{
	if (!walk.duplicates_complete)
		return;
	// Room first: nothing may unwind through the host's enumeration. The
	// sweep then removes those found before the room ran out.
	try {
		if (walk.duplicates.size() == walk.duplicates.capacity())
			walk.duplicates.reserve(2 * walk.duplicates.size() + 4);
	} catch (...) {
		walk.duplicates_complete = false;
		return;
	}
	obs_sceneitem_addref(item);
	walk.duplicates.emplace_back(item);
}

// Each item's URL, read once, teaches the context while it is still learning
// and tells a duplicate alert.
bool walk_item(obs_scene_t *, obs_sceneitem_t *item, void *param) noexcept
{
	auto &walk = *static_cast<scene_walk *>(param);
	obs_source_t *source = obs_sceneitem_get_source(item);
	const char *name = obs_source_get_name(source);
	walk.top = item;
	if (is_signature_name(name)) {
		obs_sceneitem_addref(item);
		walk.signature_item = item;
	}
	const bool may_be_duplicate = may_be_duplicate_alert(name);
	if (!walk.learning && !may_be_duplicate)
		return true;

	OBSDataAutoRelease settings = source ? obs_source_get_settings(source) : nullptr;
	char cut[source_url_size];
	const char *url = source_url(settings, cut, sizeof(cut));
	// A cut URL teaches nothing: its token or slug may be cut anywhere. The
	// signature source is the module's own output, every other item the
	// streamer's.
	if (walk.learning && url != cut) {
		walk.context.absorb_url(url,
					is_signature_name(name) ? url_origin::module_output : url_origin::streamer);
		walk.learning = !walk.context.complete();
	}
	if (may_be_duplicate && std::strstr(url, alerts_marker))
		hold_duplicate(walk, item);
	return true;
}

// ---- the signature source and its item ---------------------------------------

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
	       obs_data_get_int(current, "height") == signature_height && !obs_data_get_bool(current, "shutdown") &&
	       obs_data_get_bool(current, "restart_when_active");
}

// Each call only where the item differs: the host does real work for each
// (a reorder signal, and the frontend saving the whole collection).
void place_signature_item(obs_sceneitem_t *item, bool on_top, const vec2 &position)
{
	if (!obs_sceneitem_visible(item))
		obs_sceneitem_set_visible(item, true);
	if (!obs_sceneitem_locked(item))
		obs_sceneitem_set_locked(item, true);
	vec2 pos;
	obs_sceneitem_get_pos(item, &pos);
	if (pos.x != position.x || pos.y != position.y)
		obs_sceneitem_set_pos(item, &position);
	if (!on_top)
		obs_sceneitem_set_order(item, OBS_ORDER_MOVE_TOP);
}

// The signature source with its settings for `url`, and its item in the
// scene, in place. False when there is no signature source.
bool ensure_signature(obs_scene_t *scene, const char *url, const scene_walk &walk, const vec2 &position)
{
	// The walk's item already names the source: no look-up by name, which
	// takes the host's source list lock.
	OBSSourceAutoRelease signature = walk.signature_item
						 ? obs_source_get_ref(obs_sceneitem_get_source(walk.signature_item))
						 : obs_get_source_by_name(signature_source_name);
	if (signature)
		update_browser_source(signature, url);
	else
		signature = create_signature_source(url);
	if (!signature)
		return false;

	if (walk.signature_item) {
		place_signature_item(walk.signature_item, walk.signature_item == walk.top, position);
	} else if (obs_sceneitem_t *added = obs_scene_add(scene, signature)) {
		place_signature_item(added, true, position); // a new item goes on top
	}
	return true;
}

// The base canvas as the host has it now; none while the host has no video
// (or is between two in a reset).
std::optional<canvas_size> read_canvas()
{
	obs_video_info video;
	if (!obs_get_video_info(&video))
		return std::nullopt;
	return canvas_size{video.base_width, video.base_height};
}

vec2 signature_position(std::optional<canvas_size> canvas)
{
	const canvas_point corner = signature_position_on(canvas);
	vec2 position;
	vec2_set(&position, corner.x, corner.y);
	return position;
}

// Removed only once the enumeration has let go of the scene's lock: an item
// that holds its source's last reference destroys that source, which takes
// the host's source list lock, and the graphics thread takes those two locks
// in the other order.
void remove_duplicate_alert_items(const std::vector<OBSSceneItemAutoRelease> &duplicates)
{
	for (const auto &item : duplicates) {
		obs_log(LOG_INFO, "removing duplicate alerts source: %s",
			obs_source_get_name(obs_sceneitem_get_source(item)));
		obs_sceneitem_remove(item);
	}
}

// The signature kept in `scene`, then its duplicate alerts removed. False,
// with no removal, when there is no signature source.
bool enforce_on(obs_scene_t *scene, const scene_walk &walk, const char *url, const vec2 &position)
{
	if (!ensure_signature(scene, url, walk, position))
		return false;
	remove_duplicate_alert_items(walk.duplicates);
	return true;
}

// What viewers see when it is not the frontend's program scene itself: in
// Studio Mode with "Duplicate Scene" on, the frontend puts a private copy of
// the program scene on the output at each transition (and when Studio Mode
// starts), and edits to the original never reach that copy. Only such a
// copy: a scene of the program scene's name that no one else can look up.
// The next transition replaces it.
OBSSourceAutoRelease on_air_copy_of(obs_source_t *program)
{
	OBSSourceAutoRelease output = obs_get_output_source(0);
	if (!output)
		return nullptr;
	OBSSourceAutoRelease shown = obs_source_get_type(output) == OBS_SOURCE_TYPE_TRANSITION
					     ? obs_transition_get_active_source(output)
					     : obs_source_get_ref(output);
	if (!shown || shown == program || !obs_source_is_scene(shown) || !obs_obj_is_private(shown))
		return nullptr;
	const char *name = obs_source_get_name(shown);
	const char *program_name = obs_source_get_name(program);
	if (!name || !program_name || std::strcmp(name, program_name) != 0)
		return nullptr;
	return shown;
}

} // namespace

const char *source_url(obs_data_t *settings, char *cut, size_t cut_size)
{
	const char *url = settings ? obs_data_get_string(settings, "url") : nullptr;
	if (!url)
		return "";
	// Copied only when it must be cut.
	if (strnlen(url, cut_size) < cut_size)
		return url;
	std::snprintf(cut, cut_size, "%s", url);
	return cut;
}

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

void reconcile_current_scene(service_context &context, user_ini_memory &ini_memory, canvas_hold &canvas)
{
	// Read first, so that a pass held during a video reset touches nothing.
	const std::optional<canvas_size> reading = read_canvas();
	if (!canvas.settled(reading))
		return;
	OBSSourceAutoRelease scene_source = obs_frontend_get_current_scene();
	if (!scene_source)
		return;
	obs_scene_t *scene = obs_scene_from_source(scene_source);
	if (!scene)
		return;

	// Learn: user.ini's lines first, then every item's URL. The one walk
	// also finds the signature item, the top item and the duplicate alerts
	// among the items that are there before the pass changes anything.
	user_ini ini(ini_memory);
	absorb_user_ini_context(context, ini, ini_memory);
	scene_walk walk{context, nullptr, nullptr, !context.complete(), {}, true};
	obs_scene_enum_items(scene, walk_item, &walk);

	repair_obs_docks(context, ini, ini_memory);

	char url[service_url_size];
	context.signature_url(url, sizeof(url));
	const vec2 position = signature_position(reading);
	if (!enforce_on(scene, walk, url, position))
		return;

	// The copy shows the same sources as the program scene: nothing more
	// to learn from it.
	OBSSourceAutoRelease copy_source = on_air_copy_of(scene_source);
	if (obs_scene_t *copy = copy_source ? obs_scene_from_source(copy_source) : nullptr) {
		scene_walk copy_walk{context, nullptr, nullptr, false, {}, true};
		obs_scene_enum_items(copy, walk_item, &copy_walk);
		enforce_on(copy, copy_walk, url, position);
	}
}
