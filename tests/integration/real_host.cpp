// SPDX-License-Identifier: GPL-2.0-or-later
#include "real_host.h"

#include "headless_host.h"

#include <obs-module.h>
#include <util/bmem.h>

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

namespace {

bool libobs_started_in_this_process = false;

using tick_callback = void (*)(void *, float);
std::mutex tick_mutex;
std::vector<std::pair<tick_callback, void *>> module_ticks;
std::atomic<size_t> source_update_calls{0};
std::array<std::atomic<int>, 4> placement_counts{};
std::atomic<bool> source_create_fails{false};

// Polls with a deadline of seconds, for what another thread does.
template<typename Condition> bool wait_until(Condition done)
{
	auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
	while (!done() && std::chrono::steady_clock::now() < deadline)
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	return done();
}

} // namespace

// ---- host calls the module makes, seen on their way to libobs ------------
// The executable exports these (ENABLE_EXPORTS), so the module's calls bind
// here first; each goes on to libobs's own definition, found after ours.

#define LIBOBS_OWN(function) reinterpret_cast<decltype(&function)>(dlsym(RTLD_NEXT, #function))

void obs_add_tick_callback(tick_callback tick, void *param)
{
	std::lock_guard lock(tick_mutex);
	module_ticks.emplace_back(tick, param);
	static const auto own = LIBOBS_OWN(obs_add_tick_callback);
	own(tick, param);
}

void obs_remove_tick_callback(tick_callback tick, void *param)
{
	std::lock_guard lock(tick_mutex);
	std::erase(module_ticks, std::pair{tick, param});
	static const auto own = LIBOBS_OWN(obs_remove_tick_callback);
	own(tick, param);
}

obs_source_t *obs_source_create(const char *id, const char *name, obs_data_t *settings, obs_data_t *hotkey_data)
{
	static const auto own = LIBOBS_OWN(obs_source_create);
	return source_create_fails ? nullptr : own(id, name, settings, hotkey_data);
}

void obs_source_update(obs_source_t *source, obs_data_t *settings)
{
	++source_update_calls;
	static const auto own = LIBOBS_OWN(obs_source_update);
	own(source, settings);
}

bool obs_sceneitem_set_visible(obs_sceneitem_t *item, bool visible)
{
	++placement_counts[set_visible];
	static const auto own = LIBOBS_OWN(obs_sceneitem_set_visible);
	return own(item, visible);
}

bool obs_sceneitem_set_locked(obs_sceneitem_t *item, bool locked)
{
	++placement_counts[set_locked];
	static const auto own = LIBOBS_OWN(obs_sceneitem_set_locked);
	return own(item, locked);
}

void obs_sceneitem_set_pos(obs_sceneitem_t *item, const struct vec2 *pos)
{
	++placement_counts[set_pos];
	static const auto own = LIBOBS_OWN(obs_sceneitem_set_pos);
	own(item, pos);
}

void obs_sceneitem_set_order(obs_sceneitem_t *item, enum obs_order_movement movement)
{
	++placement_counts[set_order];
	static const auto own = LIBOBS_OWN(obs_sceneitem_set_order);
	own(item, movement);
}

// ---- fixture ---------------------------------------------------------------

void RealHost::SetUp()
{
	// libobs starts once per process and never unloads the module's
	// code: one case per process (ctest runs them
	// so; by hand, use --gtest_filter).
	ASSERT_FALSE(libobs_started_in_this_process) << "each case needs a process of its own";
	libobs_started_in_this_process = true;

	home_ = headless::make_home("brivora-integration");
	ASSERT_FALSE(home_.root.empty());
	std::filesystem::create_directories(user_ini().parent_path()); // the host's folder, not the file
	ASSERT_EQ(headless::start_libobs(home_), "");
	host_running_ = true;
	headless::queue_ui_tasks();
	ASSERT_EQ(headless::run_ui_tasks(), 1u); // libobs's own: this thread is the UI thread

	ASSERT_EQ(obs_open_module(&module_, BRIVORA_MODULE_FILE, home_.data_dir().c_str()), MODULE_SUCCESS);
	ASSERT_TRUE(obs_init_module(module_));
}

void RealHost::TearDown()
{
	shut_down_host();
	headless::remove_home(home_);
}

void RealHost::shut_down_host()
{
	if (!host_running_)
		return;
	host_running_ = false;

	on_pass_start(nullptr);
	set_current_scene(nullptr);
	for (obs_scene_t *scene : scenes_)
		obs_scene_release(scene);
	scenes_.clear();

	std::vector<std::string> live = headless::wait_for_no_live_source();
	EXPECT_TRUE(live.empty()) << "still alive: " << ::testing::PrintToString(live);

	headless::shut_down_libobs();
	module_ = nullptr;

	EXPECT_EQ(bnum_allocs(), 0) << "libobs memory still allocated after obs_shutdown";
	EXPECT_EQ(registered_callbacks(), 0u) << "the module left a frontend callback behind";
	EXPECT_EQ(headless::stray_callback_removals(), 0u) << "the module removed a callback it had not registered";
	EXPECT_EQ(tick_callbacks(), 0u) << "the module left its tick behind";
	// A joined thread leaves the task list a moment after it ends.
	EXPECT_TRUE(wait_until([] { return handoff_threads() == 0; })) << "the module's thread outlived its unload";
	const std::string unloaded = "[brivora-signature-guard] Brivora Rurozezod Ivuri unloaded";
	EXPECT_EQ(count_log(unloaded), 1u);
	std::vector<std::string> lines = headless::module_lines();
	EXPECT_EQ(lines.empty() ? "" : lines.back(), unloaded) << "the module's last line";
	EXPECT_EQ(module_problem_lines(), expected_problem_lines_);
}

void RealHost::set_current_scene(obs_source_t *source)
{
	headless::set_current_scene(source);
}

void RealHost::fire(enum obs_frontend_event event, const std::function<void()> &host_finishes)
{
	headless::fire(event);
	if (host_finishes)
		host_finishes();
	if (event == OBS_FRONTEND_EVENT_STREAMING_STARTED || event == OBS_FRONTEND_EVENT_SCENE_CHANGED ||
	    event == OBS_FRONTEND_EVENT_FINISHED_LOADING) {
		ASSERT_TRUE(wait_for_ui_tasks(1)) << "no pass queued for event " << event;
		run_ui_tasks();
	}
}

size_t RealHost::registered_callbacks()
{
	return headless::registered_callbacks();
}

void RealHost::on_pass_start(std::function<void()> hook)
{
	headless::on_current_scene_requested(std::move(hook));
}

size_t RealHost::run_ui_tasks()
{
	return headless::run_ui_tasks();
}

size_t RealHost::queued_ui_tasks()
{
	return headless::queued_ui_tasks();
}

bool RealHost::wait_for_ui_tasks(size_t count)
{
	return wait_until([count] { return headless::queued_ui_tasks() >= count; });
}

size_t RealHost::handoff_threads()
{
	size_t count = 0;
	std::error_code ignored;
	for (const auto &task : std::filesystem::directory_iterator("/proc/self/task", ignored)) {
		std::string name;
		std::getline(std::ifstream(task.path() / "comm"), name);
		count += name == "brivora-passes";
	}
	return count;
}

size_t RealHost::count_log(const std::string &needle)
{
	return headless::count_log(needle);
}

std::vector<std::string> RealHost::module_problem_lines()
{
	return headless::module_problem_lines();
}

obs_scene_t *RealHost::make_scene(const char *name)
{
	obs_scene_t *scene = obs_scene_create(name);
	if (scene)
		scenes_.push_back(scene);
	return scene;
}

obs_scene_t *RealHost::make_current_scene(const char *name)
{
	obs_scene_t *scene = make_scene(name);
	set_current_scene(obs_scene_get_source(scene));
	return scene;
}

void RealHost::tick(float seconds)
{
	std::vector<std::pair<tick_callback, void *>> ticks;
	{
		std::lock_guard lock(tick_mutex);
		ticks = module_ticks;
	}
	for (auto [tick, param] : ticks)
		tick(param, seconds);
}

size_t RealHost::tick_callbacks()
{
	std::lock_guard lock(tick_mutex);
	return module_ticks.size();
}

size_t RealHost::source_updates()
{
	return source_update_calls;
}

std::array<int, 4> RealHost::placement_calls()
{
	std::array<int, 4> calls;
	std::copy(placement_counts.begin(), placement_counts.end(), calls.begin());
	return calls;
}

void RealHost::reset_placement_calls()
{
	for (auto &count : placement_counts)
		count = 0;
}

void RealHost::fail_source_create(bool fail)
{
	source_create_fails = fail;
}

obs_sceneitem_t *RealHost::add_source(obs_scene_t *scene, const char *name, const char *url, const char *kind)
{
	obs_data_t *settings = obs_data_create();
	if (url)
		obs_data_set_string(settings, "url", url);
	obs_source_t *source = obs_source_create(kind, name, settings, nullptr);
	obs_data_release(settings);
	obs_sceneitem_t *item = source ? obs_scene_add(scene, source) : nullptr;
	obs_source_release(source);
	return item;
}

void RealHost::write_user_ini(const std::string &content) const
{
	std::ofstream(user_ini(), std::ios::binary | std::ios::trunc) << content;
}

std::string RealHost::read_user_ini() const
{
	std::ifstream in(user_ini(), std::ios::binary);
	std::ostringstream content;
	content << in.rdbuf();
	return content.str();
}

std::vector<std::string> item_names(obs_scene_t *scene)
{
	std::vector<std::string> names;
	obs_scene_enum_items(
		scene,
		[](obs_scene_t *, obs_sceneitem_t *item, void *param) {
			const char *name = obs_source_get_name(obs_sceneitem_get_source(item));
			static_cast<std::vector<std::string> *>(param)->emplace_back(name ? name : "");
			return true;
		},
		&names);
	return names;
}
