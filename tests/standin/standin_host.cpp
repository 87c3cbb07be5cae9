// SPDX-License-Identifier: GPL-2.0-or-later
// Stand-in host implementation. Objects are never freed before reset(), so a
// destroyed/removed object stays readable and misuse is recorded as an error
// instead of crashing.
#include "standin_host.hpp"

#include <obs-module.h>
#include <util/base.h>
#include <util/platform.h>
#include <util/text-lookup.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_set>

using standin::Value;

struct obs_data {
	struct Entry {
		std::string key;
		Value value;
	};
	std::deque<Entry> entries; // deque: c_str() pointers survive appends
	std::string label;
	int host_refs = 0, module_refs = 0;
	bool alive = true;

	Entry *find(const char *key)
	{
		for (auto &e : entries)
			if (key && e.key == key)
				return &e;
		return nullptr;
	}
	void set(const char *key, Value v)
	{
		if (!key)
			return;
		if (Entry *e = find(key))
			e->value = std::move(v);
		else
			entries.push_back({key, std::move(v)});
	}
};

struct obs_scene_item {
	obs_scene *scene = nullptr;
	obs_source *source = nullptr;
	bool visible = true, locked = false, removed = false, holds_ref = true;
	float x = 0.0f, y = 0.0f;
	int pins = 0; // > 0 while handed to an enumeration callback
};

struct obs_scene {
	obs_source *source = nullptr;
	std::vector<obs_scene_item *> items; // bottom -> top
};

struct obs_source {
	std::string id, name;
	obs_data *settings = nullptr;
	std::unique_ptr<obs_scene> scene;
	int host_refs = 0, module_refs = 0, updates = 0;
	bool alive = true, removed = false, by_module = false;
};

struct text_lookup {
	std::map<std::string, std::string> strings;
	bool alive = true;
};

namespace {

struct State {
	std::vector<std::unique_ptr<obs_source>> sources; // creation order
	std::vector<std::unique_ptr<obs_data>> datas;
	std::vector<std::unique_ptr<obs_scene_item>> items;
	std::vector<std::unique_ptr<text_lookup>> lookups;
	std::unordered_set<const void *> known;
	obs_source *current = nullptr;
	bool fail_create = false, fail_add = false, hide_views = false;
	std::vector<standin::OrderCall> order_calls;
	std::vector<std::pair<standin::TickFn, void *>> ticks;
	std::vector<std::pair<obs_frontend_event_cb, void *>> frontend;
	std::deque<standin::Task> queue;
	std::vector<standin::Task> task_log;
	std::optional<std::string> config_home;
	std::map<std::string, std::map<std::string, std::string>> locales;
	std::vector<std::string> errors;
};

std::unique_ptr<State> &state_ptr()
{
	static auto p = std::make_unique<State>();
	return p;
}
State &S() { return *state_ptr(); }

std::mutex &log_mutex()
{
	static std::mutex m;
	return m;
}
std::vector<standin::LogLine> &log_lines()
{
	static std::vector<standin::LogLine> lines;
	return lines;
}

__attribute__((format(printf, 1, 2))) void error(const char *fmt, ...)
{
	char buf[512];
	va_list args;
	va_start(args, fmt);
	vsnprintf(buf, sizeof(buf), fmt, args);
	va_end(args);
	S().errors.emplace_back(buf);
}

bool known(const void *p) { return p && S().known.count(p); }

// Validity checks used by the host functions: null is tolerated silently
// (libobs only logs), anything else invalid is recorded as an error.
bool ok(const obs_source *s, const char *fn)
{
	if (!s)
		return false;
	if (!known(s))
		error("%s: unknown source pointer %p (stale or never created)", fn, static_cast<const void *>(s));
	else if (!s->alive)
		error("%s: source '%s' used after it was destroyed", fn, s->name.c_str());
	else
		return true;
	return false;
}
bool ok(const obs_data *d, const char *fn)
{
	if (!d)
		return false;
	if (!known(d))
		error("%s: unknown data pointer %p (stale or never created)", fn, static_cast<const void *>(d));
	else if (!d->alive)
		error("%s: %s used after it was destroyed", fn, d->label.c_str());
	else
		return true;
	return false;
}
bool ok(const obs_scene *sc, const char *fn)
{
	if (!sc)
		return false;
	if (!known(sc)) {
		error("%s: unknown scene pointer %p", fn, static_cast<const void *>(sc));
		return false;
	}
	return ok(sc->source, fn);
}
bool ok(const obs_scene_item *it, const char *fn)
{
	if (!it)
		return false;
	if (!known(it))
		error("%s: unknown scene item pointer %p", fn, static_cast<const void *>(it));
	else if (it->removed && it->pins == 0)
		error("%s: item of '%s' used after it was removed", fn, it->source->name.c_str());
	else
		return true;
	return false;
}

obs_data *new_data(std::string label)
{
	auto d = std::make_unique<obs_data>();
	d->label = std::move(label);
	S().known.insert(d.get());
	S().datas.push_back(std::move(d));
	return S().datas.back().get();
}

void unref(obs_data *d, bool module)
{
	(module ? d->module_refs : d->host_refs)--;
	if (d->host_refs + d->module_refs == 0)
		d->alive = false;
}

void unref(obs_source *s, bool module);

void release_item_source(obs_scene_item *it)
{
	if (it->holds_ref) {
		it->holds_ref = false;
		unref(it->source, false);
	}
}

void remove_item(obs_scene_item *it)
{
	if (it->removed)
		return;
	it->removed = true;
	auto &v = it->scene->items;
	v.erase(std::find(v.begin(), v.end(), it));
	if (it->pins == 0)
		release_item_source(it);
}

void unref(obs_source *s, bool module)
{
	(module ? s->module_refs : s->host_refs)--;
	if (s->host_refs + s->module_refs > 0)
		return;
	s->alive = false;
	if (S().current == s)
		S().current = nullptr;
	if (s->scene) {
		auto items = s->scene->items;
		for (auto *it : items)
			remove_item(it);
	}
	unref(s->settings, false);
}

obs_source *new_source(const char *id, const char *name, bool by_module)
{
	auto s = std::make_unique<obs_source>();
	s->id = id ? id : "";
	s->name = name ? name : "";
	s->by_module = by_module;
	s->settings = new_data("settings of '" + s->name + "'");
	s->settings->host_refs = 1;
	if (s->id == "scene") {
		s->scene = std::make_unique<obs_scene>();
		s->scene->source = s.get();
		S().known.insert(s->scene.get());
	}
	S().known.insert(s.get());
	S().sources.push_back(std::move(s));
	return S().sources.back().get();
}

obs_scene_item *new_item(obs_scene *scene, obs_source *source)
{
	auto it = std::make_unique<obs_scene_item>();
	it->scene = scene;
	it->source = source;
	source->host_refs++;
	scene->items.push_back(it.get());
	S().known.insert(it.get());
	S().items.push_back(std::move(it));
	return S().items.back().get();
}

obs_source *find_by_name(const char *name)
{
	for (auto &s : S().sources)
		if (name && s->alive && !s->removed && s->name == name)
			return s.get();
	return nullptr;
}

template<class Vec> bool still_registered(const Vec &v, const typename Vec::value_type &e)
{
	return std::find(v.begin(), v.end(), e) != v.end();
}

} // namespace

// ============================ libobs / frontend ==============================
extern "C" {

obs_source_t *obs_get_source_by_name(const char *name)
{
	obs_source *s = find_by_name(name);
	if (s)
		s->module_refs++;
	return s;
}

obs_source_t *obs_source_create(const char *id, const char *name, obs_data_t *settings, obs_data_t *)
{
	if (S().fail_create)
		return nullptr;
	obs_source *s = new_source(id, name, true);
	s->module_refs = 1;
	if (ok(settings, "obs_source_create"))
		s->settings->entries = settings->entries; // a copy
	return s;
}

obs_source_t *obs_source_get_ref(obs_source_t *source)
{
	if (!ok(source, "obs_source_get_ref"))
		return nullptr;
	source->module_refs++;
	return source;
}

void obs_source_release(obs_source_t *source)
{
	if (!ok(source, "obs_source_release"))
		return;
	if (source->module_refs == 0) {
		error("obs_source_release: source '%s' released more often than the module referenced it",
		      source->name.c_str());
		return;
	}
	unref(source, true);
}

obs_data_t *obs_source_get_settings(const obs_source_t *source)
{
	if (!ok(source, "obs_source_get_settings"))
		return nullptr;
	source->settings->module_refs++;
	return source->settings;
}

void obs_source_update(obs_source_t *source, obs_data_t *settings)
{
	if (!ok(source, "obs_source_update"))
		return;
	source->updates++;
	if (ok(settings, "obs_source_update")) {
		auto entries = settings->entries;
		for (auto &e : entries)
			source->settings->set(e.key.c_str(), e.value);
	}
}

const char *obs_source_get_name(const obs_source_t *source)
{
	return ok(source, "obs_source_get_name") ? source->name.c_str() : nullptr;
}

const char *obs_source_get_id(const obs_source_t *source)
{
	return ok(source, "obs_source_get_id") ? source->id.c_str() : nullptr;
}

obs_scene_t *obs_scene_from_source(const obs_source_t *source)
{
	if (!ok(source, "obs_scene_from_source") || S().hide_views)
		return nullptr;
	return source->scene.get();
}

obs_source_t *obs_scene_get_source(const obs_scene_t *scene)
{
	return ok(scene, "obs_scene_get_source") ? scene->source : nullptr;
}

void obs_scene_enum_items(obs_scene_t *scene, bool (*callback)(obs_scene_t *, obs_sceneitem_t *, void *),
			  void *param)
{
	if (!ok(scene, "obs_scene_enum_items") || !callback)
		return;
	auto &v = scene->items;
	obs_scene_item *item = v.empty() ? nullptr : v.front();
	while (item) {
		// Like libobs: the next item is read before the callback runs.
		auto pos = std::find(v.begin(), v.end(), item);
		obs_scene_item *next = (pos + 1 < v.end()) ? *(pos + 1) : nullptr;
		item->pins++;
		bool go = callback(scene, item, param);
		if (--item->pins == 0 && item->removed)
			release_item_source(item);
		if (!go)
			break;
		if (next && next->removed) {
			error("obs_scene_enum_items: callback removed the next item ('%s'); libobs would use freed memory",
			      next->source->name.c_str());
			break;
		}
		item = next;
	}
}

obs_sceneitem_t *obs_scene_find_source(obs_scene_t *scene, const char *name)
{
	if (!ok(scene, "obs_scene_find_source") || !name)
		return nullptr;
	for (auto *it : scene->items)
		if (it->source->name == name)
			return it;
	return nullptr;
}

obs_sceneitem_t *obs_scene_add(obs_scene_t *scene, obs_source_t *source)
{
	if (!ok(scene, "obs_scene_add") || !ok(source, "obs_scene_add"))
		return nullptr;
	if (S().fail_add || source->scene.get() == scene)
		return nullptr;
	return new_item(scene, source);
}

obs_source_t *obs_sceneitem_get_source(const obs_sceneitem_t *item)
{
	return ok(item, "obs_sceneitem_get_source") ? item->source : nullptr;
}

void obs_sceneitem_remove(obs_sceneitem_t *item)
{
	if (ok(item, "obs_sceneitem_remove"))
		remove_item(item); // no-op if already removed (libobs checks too)
}

// A held item keeps its source until the last holder lets go.
void obs_sceneitem_addref(obs_sceneitem_t *item)
{
	if (ok(item, "obs_sceneitem_addref"))
		item->pins++;
}

void obs_sceneitem_release(obs_sceneitem_t *item)
{
	if (item && --item->pins == 0 && item->removed)
		release_item_source(item);
}

bool obs_sceneitem_set_visible(obs_sceneitem_t *item, bool visible)
{
	if (!ok(item, "obs_sceneitem_set_visible") || item->removed || item->visible == visible)
		return false;
	item->visible = visible;
	return true;
}

bool obs_sceneitem_visible(const obs_sceneitem_t *item) { return ok(item, "obs_sceneitem_visible") && item->visible; }

bool obs_sceneitem_set_locked(obs_sceneitem_t *item, bool lock)
{
	if (!ok(item, "obs_sceneitem_set_locked") || item->removed || item->locked == lock)
		return false;
	item->locked = lock;
	return true;
}

bool obs_sceneitem_locked(const obs_sceneitem_t *item) { return ok(item, "obs_sceneitem_locked") && item->locked; }

void obs_sceneitem_set_pos(obs_sceneitem_t *item, const struct vec2 *pos)
{
	if (!ok(item, "obs_sceneitem_set_pos"))
		return;
	if (!pos) {
		error("obs_sceneitem_set_pos: null position (libobs dereferences it)");
		return;
	}
	item->x = pos->x;
	item->y = pos->y;
}

void obs_sceneitem_get_pos(const obs_sceneitem_t *item, struct vec2 *pos)
{
	if (ok(item, "obs_sceneitem_get_pos") && pos) {
		pos->x = item->x;
		pos->y = item->y;
	}
}

void obs_sceneitem_set_order(obs_sceneitem_t *item, enum obs_order_movement movement)
{
	if (!ok(item, "obs_sceneitem_set_order") || item->removed)
		return;
	S().order_calls.push_back({item->scene->source->name, item->source->name, movement});
	auto &v = item->scene->items;
	auto pos = std::find(v.begin(), v.end(), item);
	if (movement == OBS_ORDER_MOVE_UP && pos + 1 < v.end())
		std::iter_swap(pos, pos + 1);
	else if (movement == OBS_ORDER_MOVE_DOWN && pos > v.begin())
		std::iter_swap(pos, pos - 1);
	else if (movement == OBS_ORDER_MOVE_TOP)
		std::rotate(pos, pos + 1, v.end());
	else if (movement == OBS_ORDER_MOVE_BOTTOM)
		std::rotate(v.begin(), pos, pos + 1);
}

obs_data_t *obs_data_create()
{
	obs_data *d = new_data("data #" + std::to_string(S().datas.size() + 1) + " from obs_data_create");
	d->module_refs = 1;
	return d;
}

void obs_data_addref(obs_data_t *data)
{
	if (ok(data, "obs_data_addref"))
		data->module_refs++;
}

void obs_data_release(obs_data_t *data)
{
	if (!ok(data, "obs_data_release"))
		return;
	if (data->module_refs == 0) {
		error("obs_data_release: %s released more often than the module referenced it", data->label.c_str());
		return;
	}
	unref(data, true);
}

const char *obs_data_get_string(obs_data_t *data, const char *name)
{
	if (!ok(data, "obs_data_get_string"))
		return "";
	auto *e = data->find(name);
	auto *s = e ? std::get_if<std::string>(&e->value) : nullptr;
	return s ? s->c_str() : "";
}

long long obs_data_get_int(obs_data_t *data, const char *name)
{
	if (!ok(data, "obs_data_get_int"))
		return 0;
	auto *e = data->find(name);
	auto *v = e ? std::get_if<long long>(&e->value) : nullptr;
	return v ? *v : 0;
}

bool obs_data_get_bool(obs_data_t *data, const char *name)
{
	if (!ok(data, "obs_data_get_bool"))
		return false;
	auto *e = data->find(name);
	auto *v = e ? std::get_if<bool>(&e->value) : nullptr;
	return v && *v;
}

void obs_data_set_string(obs_data_t *data, const char *name, const char *val)
{
	if (ok(data, "obs_data_set_string"))
		data->set(name, std::string(val ? val : ""));
}

void obs_data_set_int(obs_data_t *data, const char *name, long long val)
{
	if (ok(data, "obs_data_set_int"))
		data->set(name, val);
}

void obs_data_set_bool(obs_data_t *data, const char *name, bool val)
{
	if (ok(data, "obs_data_set_bool"))
		data->set(name, val);
}

bool obs_data_has_user_value(obs_data_t *data, const char *name)
{
	return ok(data, "obs_data_has_user_value") && data->find(name);
}

void obs_add_tick_callback(void (*tick)(void *param, float seconds), void *param)
{
	S().ticks.emplace_back(tick, param);
}

void obs_remove_tick_callback(void (*tick)(void *param, float seconds), void *param)
{
	auto &v = S().ticks;
	auto it = std::find(v.begin(), v.end(), std::make_pair(tick, param));
	if (it != v.end())
		v.erase(it);
}

void obs_queue_task(enum obs_task_type type, obs_task_t task, void *param, bool wait)
{
	if (!task) {
		error("obs_queue_task: null task");
		return;
	}
	S().task_log.push_back({type, task, param, wait});
	if (wait)
		task(param);
	else
		S().queue.push_back({type, task, param, wait});
}

void blogva(int log_level, const char *format, va_list args)
{
	va_list copy;
	va_copy(copy, args);
	int n = vsnprintf(nullptr, 0, format, copy);
	va_end(copy);
	std::string text(n > 0 ? size_t(n) : 0, '\0');
	if (n > 0)
		vsnprintf(text.data(), size_t(n) + 1, format, args);
	if (getenv("STANDIN_LOG_ECHO"))
		fprintf(stderr, "[log %d] %s\n", log_level, text.c_str());
	std::lock_guard lock(log_mutex());
	log_lines().push_back({log_level, std::move(text)});
}

void blog(int log_level, const char *format, ...)
{
	va_list args;
	va_start(args, format);
	blogva(log_level, format, args);
	va_end(args);
}

int os_get_config_path(char *dst, size_t size, const char *name)
{
	if (!S().config_home) {
		if (dst && size)
			dst[0] = '\0';
		return -1;
	}
	const char *home = S().config_home->c_str();
	if (!name || !*name)
		return snprintf(dst, size, "%s", home);
	return snprintf(dst, size, "%s/%s", home, name);
}

lookup_t *obs_module_load_locale(obs_module_t *, const char *default_locale, const char *locale)
{
	auto &L = S().locales;
	auto def = L.find(default_locale ? default_locale : "");
	if (def == L.end())
		return nullptr;
	auto lookup = std::make_unique<text_lookup>();
	lookup->strings = def->second;
	auto loc = L.find(locale ? locale : "");
	if (loc != L.end() && loc != def)
		for (auto &[k, v] : loc->second)
			lookup->strings[k] = v;
	S().known.insert(lookup.get());
	S().lookups.push_back(std::move(lookup));
	return S().lookups.back().get();
}

bool text_lookup_getstr(lookup_t *lookup, const char *lookup_val, const char **out)
{
	if (!lookup || !lookup_val || !out)
		return false;
	if (!known(lookup) || !lookup->alive) {
		error("text_lookup_getstr: lookup %p used after it was destroyed", static_cast<void *>(lookup));
		return false;
	}
	auto it = lookup->strings.find(lookup_val);
	if (it == lookup->strings.end())
		return false;
	*out = it->second.c_str();
	return true;
}

void text_lookup_destroy(lookup_t *lookup)
{
	if (!lookup)
		return;
	if (!known(lookup) || !lookup->alive)
		error("text_lookup_destroy: lookup %p destroyed twice or unknown", static_cast<void *>(lookup));
	else
		lookup->alive = false;
}

obs_source_t *obs_frontend_get_current_scene(void)
{
	obs_source *s = S().current;
	if (s)
		s->module_refs++;
	return s;
}

void obs_frontend_add_event_callback(obs_frontend_event_cb callback, void *private_data)
{
	S().frontend.emplace_back(callback, private_data);
}

void obs_frontend_remove_event_callback(obs_frontend_event_cb callback, void *private_data)
{
	auto &v = S().frontend;
	auto it = std::find(v.begin(), v.end(), std::make_pair(callback, private_data));
	if (it != v.end())
		v.erase(it);
}

} // extern "C"

// ============================ test control API ===============================
namespace standin {

void reset()
{
	static std::vector<std::unique_ptr<State>> retired; // keeps stale pointers readable
	retired.push_back(std::move(state_ptr()));
	state_ptr() = std::make_unique<State>();
	clear_logs();
}

obs_source_t *create_source(const std::string &id, const std::string &name, const std::vector<Setting> &settings)
{
	obs_source *s = new_source(id.c_str(), name.c_str(), false);
	s->host_refs = 1;
	for (auto &e : settings)
		s->settings->set(e.key.c_str(), e.value);
	return s;
}

obs_source_t *create_scene(const std::string &name) { return create_source("scene", name); }

obs_sceneitem_t *add_item(obs_source_t *scene, obs_source_t *source)
{
	if (!ok(scene, "standin::add_item") || !ok(source, "standin::add_item"))
		return nullptr;
	if (!scene->scene) {
		error("standin::add_item: '%s' is not a scene", scene->name.c_str());
		return nullptr;
	}
	return new_item(scene->scene.get(), source);
}

void remove_source(obs_source_t *source)
{
	if (!ok(source, "standin::remove_source") || source->removed)
		return;
	source->removed = true;
	std::vector<obs_scene_item *> doomed;
	for (auto &it : S().items)
		if (it->source == source && !it->removed)
			doomed.push_back(it.get());
	for (auto *it : doomed)
		remove_item(it);
	if (S().current == source)
		S().current = nullptr;
	if (source->host_refs > 0)
		unref(source, false);
}

obs_source_t *find_source(const std::string &name) { return find_by_name(name.c_str()); }

bool is_alive(const obs_source_t *source) { return known(source) && source->alive; }

void set_current_scene(obs_source_t *scene) { S().current = ok(scene, "standin::set_current_scene") ? scene : nullptr; }

obs_source_t *current_scene() { return S().current; }

std::vector<ItemInfo> items(obs_source_t *scene)
{
	std::vector<ItemInfo> out;
	if (known(scene) && scene->scene)
		for (auto *it : scene->scene->items)
			out.push_back({it->source->name, it->visible, it->locked, it->x, it->y});
	return out;
}

std::vector<std::string> item_names(obs_source_t *scene)
{
	std::vector<std::string> out;
	for (auto &i : items(scene))
		out.push_back(i.source_name);
	return out;
}

std::vector<Setting> data_entries(obs_data_t *data)
{
	std::vector<Setting> out;
	if (known(data))
		for (auto &e : data->entries)
			out.push_back({e.key, e.value});
	return out;
}

std::vector<Setting> settings(obs_source_t *source)
{
	return known(source) ? data_entries(source->settings) : std::vector<Setting>{};
}

std::vector<std::string> keys(obs_data_t *data)
{
	std::vector<std::string> out;
	for (auto &e : data_entries(data))
		out.push_back(e.key);
	return out;
}

int update_count(obs_source_t *source) { return known(source) ? source->updates : 0; }

std::string source_id(obs_source_t *source) { return known(source) ? source->id : std::string(); }

bool created_by_module(obs_source_t *source) { return known(source) && source->by_module; }

std::vector<OrderCall> order_calls() { return S().order_calls; }

void fail_source_create(bool on) { S().fail_create = on; }
void fail_scene_add(bool on) { S().fail_add = on; }
void hide_scene_views(bool on) { S().hide_views = on; }

std::vector<LogLine> logs()
{
	std::lock_guard lock(log_mutex());
	return log_lines();
}

void clear_logs()
{
	std::lock_guard lock(log_mutex());
	log_lines().clear();
}

bool log_contains(const std::string &needle, int level)
{
	std::lock_guard lock(log_mutex());
	return std::any_of(log_lines().begin(), log_lines().end(), [&](const LogLine &l) {
		return (level < 0 || l.level == level) && l.text.find(needle) != std::string::npos;
	});
}

std::vector<std::pair<TickFn, void *>> tick_callbacks() { return S().ticks; }

void tick(float seconds)
{
	auto snapshot = S().ticks; // callbacks may (un)register while running
	for (auto it = snapshot.rbegin(); it != snapshot.rend(); ++it)
		if (still_registered(S().ticks, *it))
			it->first(it->second, seconds);
}

std::vector<std::pair<obs_frontend_event_cb, void *>> frontend_callbacks() { return S().frontend; }

void frontend_event(obs_frontend_event event)
{
	auto snapshot = S().frontend;
	for (auto it = snapshot.rbegin(); it != snapshot.rend(); ++it)
		if (still_registered(S().frontend, *it))
			it->first(event, it->second);
}

std::vector<Task> queued_tasks() { return {S().queue.begin(), S().queue.end()}; }

std::vector<Task> task_log() { return S().task_log; }

size_t run_queued_tasks()
{
	size_t n = 0;
	while (!S().queue.empty()) {
		Task t = S().queue.front();
		S().queue.pop_front();
		t.task(t.param);
		if (++n > 100000) {
			error("run_queued_tasks: tasks keep re-queueing themselves");
			break;
		}
	}
	return n;
}

void set_config_home(const std::string &dir) { S().config_home = dir; }

void clear_config_home() { S().config_home.reset(); }

void set_locale_strings(const std::string &locale, std::map<std::string, std::string> strings)
{
	S().locales[locale] = std::move(strings);
}

size_t live_locale_lookups()
{
	return size_t(std::count_if(S().lookups.begin(), S().lookups.end(), [](auto &l) { return l->alive; }));
}

long outstanding_module_refs()
{
	long n = 0;
	for (auto &s : S().sources)
		n += s->module_refs;
	for (auto &d : S().datas)
		n += d->module_refs;
	return n;
}

int module_refs(const obs_source_t *source) { return known(source) ? source->module_refs : 0; }

int module_refs(const obs_data_t *data) { return known(data) ? data->module_refs : 0; }

std::string ref_report()
{
	std::string out;
	for (auto &s : S().sources)
		if (s->module_refs)
			out += "source '" + s->name + "': " + std::to_string(s->module_refs) + " module ref(s)\n";
	for (auto &d : S().datas)
		if (d->module_refs)
			out += d->label + ": " + std::to_string(d->module_refs) + " module ref(s)\n";
	return out;
}

const std::vector<std::string> &errors() { return S().errors; }

void clear_errors() { S().errors.clear(); }

} // namespace standin
