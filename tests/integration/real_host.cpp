// SPDX-License-Identifier: GPL-2.0-or-later
#include "real_host.h"

#include "headless_host.h"

#include <obs-module.h>
#include <util/bmem.h>

#include <dlfcn.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <sstream>
#include <utility>

namespace {

bool libobs_started_in_this_process = false;

std::mutex tick_mutex;
std::vector<std::pair<void (*)(void *, float), void *>> tick_callbacks;

std::array<std::atomic<int>, 4> placement_counts{};

template <typename F> F *next_definition(const char *name)
{
	return reinterpret_cast<F *>(dlsym(RTLD_NEXT, name));
}

} // namespace

// ---- tick callbacks and the placement setters ------------------------------
// Also taken from this executable: the tick callbacks are kept here (headless
// libobs never ticks), and the four setters are counted on their way to libobs.

void obs_add_tick_callback(void (*callback)(void *, float), void *param)
{
	std::lock_guard lock(tick_mutex);
	tick_callbacks.emplace_back(callback, param);
}

void obs_remove_tick_callback(void (*callback)(void *, float), void *param)
{
	std::lock_guard lock(tick_mutex);
	std::erase(tick_callbacks, std::pair{callback, param});
}

void obs_sceneitem_set_pos(obs_sceneitem_t *item, const struct vec2 *pos)
{
	++placement_counts[set_pos];
	static auto *next = next_definition<void(obs_sceneitem_t *, const vec2 *)>("obs_sceneitem_set_pos");
	next(item, pos);
}

void obs_sceneitem_set_order(obs_sceneitem_t *item, enum obs_order_movement movement)
{
	++placement_counts[set_order];
	static auto *next = next_definition<void(obs_sceneitem_t *, obs_order_movement)>("obs_sceneitem_set_order");
	next(item, movement);
}

bool obs_sceneitem_set_visible(obs_sceneitem_t *item, bool visible)
{
	++placement_counts[set_visible];
	static auto *next = next_definition<bool(obs_sceneitem_t *, bool)>("obs_sceneitem_set_visible");
	return next(item, visible);
}

bool obs_sceneitem_set_locked(obs_sceneitem_t *item, bool locked)
{
	++placement_counts[set_locked];
	static auto *next = next_definition<bool(obs_sceneitem_t *, bool)>("obs_sceneitem_set_locked");
	return next(item, locked);
}

// ---- fixture ---------------------------------------------------------------

void RealHost::SetUp()
{
	// The module keeps what it learnt for the life of the process and
	// libobs never unloads its code: one case per process (ctest runs them
	// so; by hand, use --gtest_filter).
	ASSERT_FALSE(libobs_started_in_this_process) << "each case needs a process of its own";
	libobs_started_in_this_process = true;

	home_ = headless::make_home("brivora-integration");
	ASSERT_FALSE(home_.root.empty());
	ASSERT_EQ(headless::start_libobs(home_), "");
	host_running_ = true;
	headless::queue_ui_tasks();

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
	EXPECT_TRUE(tick_callbacks.empty()) << "the module left a tick callback behind";
	EXPECT_EQ(count_log("[brivora-signature-guard] Brivora Rurozezod Ivuri unloaded"), 1u);
	EXPECT_EQ(module_problem_lines(), expected_problem_lines_);
}

void RealHost::set_current_scene(obs_source_t *source)
{
	headless::set_current_scene(source);
}

void RealHost::fire(enum obs_frontend_event event)
{
	headless::fire(event);
}

size_t RealHost::registered_callbacks()
{
	return headless::registered_callbacks();
}

void RealHost::on_pass_start(std::function<void()> hook)
{
	headless::on_current_scene_requested(std::move(hook));
}

void RealHost::tick(float seconds)
{
	std::vector<std::pair<void (*)(void *, float), void *>> callbacks;
	{
		std::lock_guard lock(tick_mutex);
		callbacks = tick_callbacks;
	}
	for (auto &[callback, param] : callbacks)
		callback(param, seconds);
}

size_t RealHost::run_ui_tasks()
{
	return headless::run_ui_tasks();
}

size_t RealHost::queued_ui_tasks()
{
	return headless::queued_ui_tasks();
}

std::array<int, 4> RealHost::placement_calls()
{
	return {placement_counts[0].load(), placement_counts[1].load(), placement_counts[2].load(),
		placement_counts[3].load()};
}

void RealHost::reset_placement_calls()
{
	for (auto &count : placement_counts)
		count = 0;
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
	std::filesystem::create_directories(user_ini().parent_path());
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
