// SPDX-License-Identifier: GPL-2.0-or-later
#include "real_host.h"

#include <obs-module.h>
#include <obs-nix-platform.h>
#include <util/base.h>
#include <util/bmem.h>

#include <wayland-client-core.h>
#include <wayland-server-core.h>

#include <dlfcn.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>

namespace {

// ---- log capture ---------------------------------------------------------

std::mutex log_mutex;
std::vector<std::pair<int, std::string>> log_lines;

void capture_log(int level, const char *format, va_list args, void *)
{
	char line[8192];
	va_list copy;
	va_copy(copy, args);
	std::vsnprintf(line, sizeof(line), format, copy);
	va_end(copy);
	if (level <= LOG_INFO)
		std::fprintf(stderr, "[libobs %d] %s\n", level, line);
	std::lock_guard lock(log_mutex);
	log_lines.emplace_back(level, line);
}

// libobs's default crash handler exits with status 0, which would pass.
[[noreturn]] void abort_on_crash(const char *format, va_list args, void *)
{
	std::vfprintf(stderr, format, args);
	std::fputc('\n', stderr);
	std::abort();
}

// ---- the stand-in frontend -----------------------------------------------

std::mutex frontend_mutex;
std::vector<std::pair<obs_frontend_event_cb, void *>> frontend_callbacks;
size_t removals_of_unknown_callbacks = 0; // the real frontend logs an error for each
obs_source_t *current_scene = nullptr;    // owned by the case
std::function<void()> pass_start_hook;

// ---- ticks and UI tasks --------------------------------------------------

std::mutex tick_mutex;
std::vector<std::pair<void (*)(void *, float), void *>> tick_callbacks;

std::mutex ui_task_mutex;
std::vector<std::pair<obs_task_t, void *>> ui_tasks;

void queue_ui_task(obs_task_t task, void *param, bool wait)
{
	if (wait) {
		task(param);
		return;
	}
	std::lock_guard lock(ui_task_mutex);
	ui_tasks.emplace_back(task, param);
}

std::array<std::atomic<int>, 4> placement_counts{};

template <typename F> F *next_definition(const char *name)
{
	return reinterpret_cast<F *>(dlsym(RTLD_NEXT, name));
}

// ---- a Wayland display inside the process, for libobs's start-up ---------

struct InProcessWayland {
	wl_display *server = nullptr;
	wl_display *client = nullptr;
	std::thread loop;

	bool start()
	{
		int fds[2];
		if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
			return false;
		server = wl_display_create();
		if (!server || !wl_client_create(server, fds[0]))
			return false;
		client = wl_display_connect_to_fd(fds[1]);
		if (!client)
			return false;
		loop = std::thread([this] { wl_display_run(server); });
		return true;
	}

	void stop()
	{
		if (client)
			wl_display_disconnect(client);
		client = nullptr;
		if (loop.joinable()) {
			wl_display_terminate(server);
			loop.join();
		}
		if (server)
			wl_display_destroy(server);
		server = nullptr;
	}
};

InProcessWayland wayland;
bool libobs_started_in_this_process = false;

std::vector<std::string> live_source_names()
{
	std::vector<std::string> names;
	obs_enum_all_sources(
		[](void *param, obs_source_t *source) {
			const char *name = obs_source_get_name(source);
			static_cast<std::vector<std::string> *>(param)->emplace_back(name ? name : "(unnamed)");
			return true;
		},
		&names);
	return names;
}

} // namespace

// ---- the three frontend functions the module imports --------------------
// The executable exports these (ENABLE_EXPORTS), so the module binds to them
// rather than to libobs-frontend-api, which has no frontend behind it here.

obs_source_t *obs_frontend_get_current_scene(void)
{
	std::function<void()> hook;
	{
		std::lock_guard lock(frontend_mutex);
		hook = pass_start_hook;
	}
	if (hook)
		hook();
	std::lock_guard lock(frontend_mutex);
	return current_scene ? obs_source_get_ref(current_scene) : nullptr;
}

void obs_frontend_add_event_callback(obs_frontend_event_cb callback, void *private_data)
{
	std::lock_guard lock(frontend_mutex);
	frontend_callbacks.emplace_back(callback, private_data);
}

void obs_frontend_remove_event_callback(obs_frontend_event_cb callback, void *private_data)
{
	std::lock_guard lock(frontend_mutex);
	for (auto it = frontend_callbacks.begin(); it != frontend_callbacks.end(); ++it) {
		if (it->first == callback && it->second == private_data) {
			frontend_callbacks.erase(it);
			return;
		}
	}
	++removals_of_unknown_callbacks;
}

// ---- tick callbacks and the placement setters ------------------------------
// Also taken from this executable: the tick callbacks are kept here, and the
// four setters are counted on their way to libobs.

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

	char pattern[] = "/tmp/brivora-integration-XXXXXX";
	ASSERT_NE(mkdtemp(pattern), nullptr);
	temp_dir_ = pattern;
	std::filesystem::create_directories(config_dir());
	std::filesystem::path data_dir = temp_dir_ / "data";
	std::filesystem::create_directories(data_dir / "locale");
	std::ofstream(data_dir / "locale" / "en-US.ini") << "Placeholder=\"placeholder\"\n";
	ASSERT_EQ(setenv("XDG_CONFIG_HOME", config_dir().c_str(), 1), 0);

	base_set_crash_handler(abort_on_crash, nullptr);
	base_set_log_handler(capture_log, nullptr);

	ASSERT_TRUE(wayland.start());
	obs_set_nix_platform(OBS_NIX_PLATFORM_WAYLAND);
	obs_set_nix_platform_display(wayland.client);
	ASSERT_TRUE(obs_startup("en-US", nullptr, nullptr));
	host_running_ = true;
	obs_set_ui_task_handler(queue_ui_task);

	ASSERT_EQ(obs_open_module(&module_, BRIVORA_MODULE_FILE, data_dir.c_str()), MODULE_SUCCESS);
	ASSERT_TRUE(obs_init_module(module_));
}

void RealHost::TearDown()
{
	shut_down_host();
	wayland.stop();
	if (!temp_dir_.empty()) {
		std::error_code ignored;
		std::filesystem::remove_all(temp_dir_, ignored);
	}
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

	// Scene items let go of their sources on libobs's own threads.
	auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
	std::vector<std::string> live = live_source_names();
	while (!live.empty() && std::chrono::steady_clock::now() < deadline) {
		obs_wait_for_destroy_queue();
		std::this_thread::sleep_for(std::chrono::milliseconds(2));
		live = live_source_names();
	}
	EXPECT_TRUE(live.empty()) << "still alive: " << ::testing::PrintToString(live);

	obs_shutdown();
	module_ = nullptr;

	EXPECT_EQ(bnum_allocs(), 0) << "libobs memory still allocated after obs_shutdown";
	EXPECT_EQ(registered_callbacks(), 0u) << "the module left a frontend callback behind";
	EXPECT_EQ(removals_of_unknown_callbacks, 0u) << "the module removed a callback it had not registered";
	EXPECT_TRUE(tick_callbacks.empty()) << "the module left a tick callback behind";
	EXPECT_EQ(count_log("[brivora-signature-guard] Brivora Rurozezod Ivuri unloaded"), 1u);
	EXPECT_EQ(module_problem_lines(), expected_problem_lines_);
}

void RealHost::set_current_scene(obs_source_t *source)
{
	std::lock_guard lock(frontend_mutex);
	current_scene = source;
}

void RealHost::fire(enum obs_frontend_event event)
{
	std::vector<std::pair<obs_frontend_event_cb, void *>> callbacks;
	{
		std::lock_guard lock(frontend_mutex);
		callbacks = frontend_callbacks;
	}
	for (auto &[callback, data] : callbacks)
		callback(event, data);
}

size_t RealHost::registered_callbacks()
{
	std::lock_guard lock(frontend_mutex);
	return frontend_callbacks.size();
}

void RealHost::on_pass_start(std::function<void()> hook)
{
	std::lock_guard lock(frontend_mutex);
	pass_start_hook = std::move(hook);
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
	std::vector<std::pair<obs_task_t, void *>> tasks;
	{
		std::lock_guard lock(ui_task_mutex);
		tasks.swap(ui_tasks);
	}
	for (auto &[task, param] : tasks)
		task(param);
	return tasks.size();
}

size_t RealHost::queued_ui_tasks()
{
	std::lock_guard lock(ui_task_mutex);
	return ui_tasks.size();
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
	std::lock_guard lock(log_mutex);
	size_t n = 0;
	for (auto &[level, line] : log_lines)
		n += line.find(needle) != std::string::npos;
	return n;
}

std::vector<std::string> RealHost::module_problem_lines()
{
	std::lock_guard lock(log_mutex);
	std::vector<std::string> problems;
	for (auto &[level, line] : log_lines)
		if (level <= LOG_WARNING && line.starts_with("[brivora-signature-guard]"))
			problems.push_back(line);
	return problems;
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
