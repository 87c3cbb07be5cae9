// SPDX-License-Identifier: GPL-2.0-or-later
#include "headless_host.h"

#include <obs-nix-platform.h>
#include <util/base.h>

#include <wayland-client-core.h>
#include <wayland-server-core.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>
#include <utility>

namespace headless {
namespace {

// ---- log capture ---------------------------------------------------------

std::mutex log_mutex;
std::vector<std::pair<int, std::string>> log_lines;
std::atomic<int> echo_level{LOG_INFO};

void capture_log(int level, const char *format, va_list args, void *)
{
	char line[8192];
	va_list copy;
	va_copy(copy, args);
	std::vsnprintf(line, sizeof(line), format, copy);
	va_end(copy);
	if (level <= echo_level.load())
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
size_t stray_removals = 0;
std::function<void()> current_scene_hook;
obs_source_t *current_scene = nullptr; // owned by the caller

// ---- UI tasks --------------------------------------------------------------

std::mutex ui_task_mutex;
std::vector<std::pair<obs_task_t, void *>> ui_tasks;

void keep_ui_task(obs_task_t task, void *param, bool wait)
{
	// The frontend runs a task its caller waits for before returning.
	if (wait) {
		task(param);
		return;
	}
	std::lock_guard lock(ui_task_mutex);
	ui_tasks.emplace_back(task, param);
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

Home make_home(const char *prefix)
{
	std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
	if (!mkdtemp(pattern.data()))
		return {};
	Home home{pattern};
	std::filesystem::create_directories(home.config_dir());
	std::filesystem::create_directories(home.data_dir() / "locale");
	std::ofstream(home.data_dir() / "locale" / "en-US.ini") << "Placeholder=\"placeholder\"\n";
	return home;
}

void remove_home(const Home &home)
{
	if (home.root.empty())
		return;
	std::error_code ignored;
	std::filesystem::remove_all(home.root, ignored);
}

std::string start_libobs(const Home &home)
{
	if (home.root.empty())
		return "no home folder";
	if (setenv("XDG_CONFIG_HOME", home.config_dir().c_str(), 1) != 0)
		return "cannot set XDG_CONFIG_HOME";
	base_set_crash_handler(abort_on_crash, nullptr);
	base_set_log_handler(capture_log, nullptr);
	if (!wayland.start())
		return "cannot start the in-process Wayland display";
	obs_set_nix_platform(OBS_NIX_PLATFORM_WAYLAND);
	obs_set_nix_platform_display(wayland.client);
	if (!obs_startup("en-US", nullptr, nullptr)) {
		wayland.stop();
		return "obs_startup failed";
	}
	return {};
}

std::vector<std::string> wait_for_no_live_source(int timeout_s)
{
	auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
	std::vector<std::string> live = live_source_names();
	while (!live.empty() && std::chrono::steady_clock::now() < deadline) {
		obs_wait_for_destroy_queue();
		std::this_thread::sleep_for(std::chrono::milliseconds(2));
		live = live_source_names();
	}
	return live;
}

void shut_down_libobs()
{
	obs_shutdown();
	wayland.stop();
}

void set_current_scene(obs_source_t *source)
{
	std::lock_guard lock(frontend_mutex);
	current_scene = source;
}

void fire(enum obs_frontend_event event)
{
	std::vector<std::pair<obs_frontend_event_cb, void *>> callbacks;
	{
		std::lock_guard lock(frontend_mutex);
		callbacks = frontend_callbacks;
	}
	for (auto &[callback, data] : callbacks)
		callback(event, data);
}

size_t registered_callbacks()
{
	std::lock_guard lock(frontend_mutex);
	return frontend_callbacks.size();
}

bool registered_data(obs_frontend_event_cb callback, void **data)
{
	std::lock_guard lock(frontend_mutex);
	for (auto &[registered, registered_data] : frontend_callbacks) {
		if (registered == callback) {
			*data = registered_data;
			return true;
		}
	}
	return false;
}

size_t stray_callback_removals()
{
	std::lock_guard lock(frontend_mutex);
	return stray_removals;
}

void on_current_scene_requested(std::function<void()> hook)
{
	std::lock_guard lock(frontend_mutex);
	current_scene_hook = std::move(hook);
}

void queue_ui_tasks()
{
	obs_set_ui_task_handler(keep_ui_task);
}

size_t queued_ui_tasks()
{
	std::lock_guard lock(ui_task_mutex);
	return ui_tasks.size();
}

size_t run_ui_tasks()
{
	std::vector<std::pair<obs_task_t, void *>> due;
	{
		std::lock_guard lock(ui_task_mutex);
		due.swap(ui_tasks);
	}
	for (auto &[task, param] : due)
		task(param);
	return due.size();
}

void echo_log_up_to(int level)
{
	echo_level.store(level);
}

size_t count_log(const std::string &needle)
{
	std::lock_guard lock(log_mutex);
	size_t n = 0;
	for (auto &[level, line] : log_lines)
		n += line.find(needle) != std::string::npos;
	return n;
}

std::vector<std::string> module_lines(int up_to_level)
{
	std::lock_guard lock(log_mutex);
	std::vector<std::string> lines;
	for (auto &[level, line] : log_lines)
		if (level <= up_to_level && line.starts_with("[brivora-signature-guard]"))
			lines.push_back(line);
	return lines;
}

std::vector<std::string> module_problem_lines()
{
	return module_lines(LOG_WARNING);
}

void clear_log()
{
	std::lock_guard lock(log_mutex);
	log_lines.clear();
}

} // namespace headless

// ---- the three frontend functions the module imports --------------------
// An executable that loads the module from its file exports these
// (ENABLE_EXPORTS), so the module binds to them rather than to
// libobs-frontend-api, which has no frontend behind it here.

obs_source_t *obs_frontend_get_current_scene(void)
{
	std::function<void()> hook;
	{
		std::lock_guard lock(headless::frontend_mutex);
		hook = headless::current_scene_hook;
	}
	if (hook)
		hook();
	std::lock_guard lock(headless::frontend_mutex);
	return headless::current_scene ? obs_source_get_ref(headless::current_scene) : nullptr;
}

void obs_frontend_add_event_callback(obs_frontend_event_cb callback, void *private_data)
{
	std::lock_guard lock(headless::frontend_mutex);
	headless::frontend_callbacks.emplace_back(callback, private_data);
}

void obs_frontend_remove_event_callback(obs_frontend_event_cb callback, void *private_data)
{
	std::lock_guard lock(headless::frontend_mutex);
	auto &callbacks = headless::frontend_callbacks;
	for (auto it = callbacks.begin(); it != callbacks.end(); ++it) {
		if (it->first == callback && it->second == private_data) {
			callbacks.erase(it);
			return;
		}
	}
	++headless::stray_removals;
}
