// SPDX-License-Identifier: GPL-2.0-or-later
// Stand-in host: a small in-process replacement for the parts of libobs and the
// frontend API that the module calls, plus an inspection/control API for tests.
// Single-threaded by design; only log capture is thread-safe.
#pragma once

#include <obs.h>
#include <obs-frontend-api.h>

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace standin {

// ---- lifecycle --------------------------------------------------------------
// Drops every object, callback, task, switch, log line and error. Objects from
// before the reset stay allocated (so stale pointers are reported, not crashed
// on) but are unknown to the new state.
void reset();

// ---- objects created by the test (owned by the host, not module refs) -------
using Value = std::variant<std::string, long long, bool>;
struct Setting {
	std::string key;
	Value value;
	bool operator==(const Setting &) const = default;
};

obs_source_t *create_source(const std::string &id, const std::string &name,
			    const std::vector<Setting> &settings = {});
obs_source_t *create_scene(const std::string &name); // id "scene"
// Adds an item on top of `scene` (ignores the fail_scene_add switch).
obs_sceneitem_t *add_item(obs_source_t *scene, obs_source_t *source);
// Like the user deleting a source: removes its items from every scene, makes
// it unfindable by name and drops the host's reference.
void remove_source(obs_source_t *source);
// Borrowed lookup of a live, not removed source (no reference taken).
obs_source_t *find_source(const std::string &name);
bool is_alive(const obs_source_t *source);

void set_current_scene(obs_source_t *scene); // nullptr = no current scene
obs_source_t *current_scene();

// ---- inspection -------------------------------------------------------------
struct ItemInfo {
	std::string source_name;
	bool visible;
	bool locked;
	float x, y;
};
std::vector<ItemInfo> items(obs_source_t *scene); // bottom -> top
std::vector<std::string> item_names(obs_source_t *scene);

std::vector<Setting> settings(obs_source_t *source); // key insertion order
std::vector<Setting> data_entries(obs_data_t *data);
std::vector<std::string> keys(obs_data_t *data);
int update_count(obs_source_t *source); // obs_source_update calls
std::string source_id(obs_source_t *source);
bool created_by_module(obs_source_t *source);

struct OrderCall {
	std::string scene;
	std::string source;
	obs_order_movement movement;
};
std::vector<OrderCall> order_calls(); // every obs_sceneitem_set_order call

// ---- failure switches -------------------------------------------------------
void fail_source_create(bool on); // obs_source_create returns nullptr
void fail_scene_add(bool on);     // obs_scene_add returns nullptr
void hide_scene_views(bool on);   // obs_scene_from_source returns nullptr

// ---- logging ------------------------------------------------------------------
struct LogLine {
	int level;
	std::string text;
};
std::vector<LogLine> logs();
void clear_logs();
// True if any captured line contains `needle` (and has `level`, if >= 0).
bool log_contains(const std::string &needle, int level = -1);

// ---- tick and frontend callbacks --------------------------------------------
using TickFn = void (*)(void *, float);
std::vector<std::pair<TickFn, void *>> tick_callbacks();
void tick(float seconds); // newest registration first, like libobs
std::vector<std::pair<obs_frontend_event_cb, void *>> frontend_callbacks();
void frontend_event(obs_frontend_event event); // newest first, like the UI

// ---- tasks --------------------------------------------------------------------
// obs_queue_task with wait=false is queued; with wait=true it runs before
// obs_queue_task returns (as the caller relies on). Both are in task_log().
struct Task {
	obs_task_type type;
	obs_task_t task;
	void *param;
	bool wait;
};
std::vector<Task> queued_tasks();
std::vector<Task> task_log();
size_t run_queued_tasks(); // runs until empty (incl. newly queued); count

// ---- config path and locale ---------------------------------------------------
void set_config_home(const std::string &dir);
void clear_config_home(); // os_get_config_path then fails (-1)
// Strings of one locale for obs_module_load_locale; the default locale must
// have a table, or loading fails (returns nullptr) like a missing file.
void set_locale_strings(const std::string &locale,
			std::map<std::string, std::string> strings);
size_t live_locale_lookups();

// ---- reference accounting and detected errors -------------------------------
// References the module received (get_source_by_name, source_create,
// source_get_ref, source_get_settings, data_create, data_addref,
// frontend_get_current_scene) minus the ones it released.
long outstanding_module_refs();
int module_refs(const obs_source_t *source);
int module_refs(const obs_data_t *data);
std::string ref_report(); // one line per object still holding module refs
// Over-releases, use of destroyed/removed/unknown objects, ...
const std::vector<std::string> &errors();
void clear_errors();

} // namespace standin
