// SPDX-License-Identifier: GPL-2.0-or-later
// A module for the end-to-end tests only, never shipped: it logs what the
// output shows whenever that changes (the scene on output channel 0, or the
// one its transition shows), so that a test can see what viewers see. In
// Studio Mode that can be a private copy of the program scene, which no
// request of obs-websocket reaches.

#include <obs-frontend-api.h>
#include <obs-module.h>
#include <obs.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

OBS_DECLARE_MODULE()

namespace {

std::atomic<bool> stopping{false};
std::thread watcher;

std::string quoted(const char *text)
{
	std::string out = "\"";
	for (; text && *text; ++text) {
		if (*text == '"' || *text == '\\')
			out += '\\';
		out += *text;
	}
	return out + '"';
}

bool describe_item(obs_scene_t *, obs_sceneitem_t *item, void *param)
{
	auto &out = *static_cast<std::string *>(param);
	vec2 pos;
	obs_sceneitem_get_pos(item, &pos);
	char rest[160];
	std::snprintf(rest, sizeof(rest), ",\"x\":%.1f,\"y\":%.1f,\"visible\":%s,\"locked\":%s}", pos.x, pos.y,
		      obs_sceneitem_visible(item) ? "true" : "false", obs_sceneitem_locked(item) ? "true" : "false");
	if (out.back() != '[')
		out += ',';
	out += "{\"name\":" + quoted(obs_source_get_name(obs_sceneitem_get_source(item))) + rest;
	return true;
}

// {"scene": name, "private": bool, "items": [bottom first]}, or null.
std::string on_air()
{
	OBSSourceAutoRelease output = obs_get_output_source(0);
	if (!output)
		return "null";
	OBSSourceAutoRelease shown = obs_source_get_type(output) == OBS_SOURCE_TYPE_TRANSITION
					     ? obs_transition_get_active_source(output)
					     : obs_source_get_ref(output);
	obs_scene_t *scene = shown ? obs_scene_from_source(shown) : nullptr;
	if (!scene)
		return "null";
	std::string out = "{\"scene\":" + quoted(obs_source_get_name(shown)) +
			  ",\"private\":" + (obs_obj_is_private(shown) ? "true" : "false") + ",\"items\":[";
	obs_scene_enum_items(scene, describe_item, &out);
	return out + "]}";
}

void watch()
{
	std::string last;
	while (!stopping.load()) {
		std::string now = on_air();
		if (now != last) {
			blog(LOG_INFO, "[output-probe] on air: %s", now.c_str());
			last = std::move(now);
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(100));
	}
}

void stop()
{
	stopping.store(true);
	if (watcher.joinable())
		watcher.join();
}

// The host clears its scenes after these: the watcher is gone by then.
void frontend_event(enum obs_frontend_event event, void *)
{
	if (event == OBS_FRONTEND_EVENT_SCRIPTING_SHUTDOWN || event == OBS_FRONTEND_EVENT_EXIT)
		stop();
}

} // namespace

bool obs_module_load(void)
{
	obs_frontend_add_event_callback(frontend_event, nullptr);
	watcher = std::thread(watch);
	return true;
}

void obs_module_unload(void)
{
	stop();
}
