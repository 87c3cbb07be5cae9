// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// The real libobs, started headless inside this process: a throw-away config
// home, an in-process Wayland display for libobs's start-up, every log line
// captured, and the three frontend functions the module imports, provided by
// this executable (link it in as an object library so that they are always
// there). Used by the integration tests and the benchmarks; it judges nothing.

#include <obs-frontend-api.h>
#include <obs.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace headless {

// A fresh folder under /tmp: config/ becomes XDG_CONFIG_HOME, data/ is a
// module data folder with a locale file. `prefix` names it.
struct Home {
	std::filesystem::path root;
	std::filesystem::path config_dir() const { return root / "config"; }
	std::filesystem::path data_dir() const { return root / "data"; }
	std::filesystem::path user_ini() const { return config_dir() / "obs-studio" / "user.ini"; }
};
// Empty root when the folder could not be made.
Home make_home(const char *prefix);
void remove_home(const Home &home);

// Points XDG_CONFIG_HOME at the home, installs a crash handler that aborts
// (libobs's own exits with status 0) and the log capture, starts the display
// and calls obs_startup. Returns what failed, or an empty text.
std::string start_libobs(const Home &home);
// Waits up to `timeout_s` until libobs holds no live source (scene items let
// go of their sources on libobs's own threads); returns the names still alive.
std::vector<std::string> wait_for_no_live_source(int timeout_s = 10);
// obs_shutdown, then stops the display.
void shut_down_libobs();

// ---- the stand-in frontend ------------------------------------------------
// The scene that obs_frontend_get_current_scene reports (null for none); the
// caller keeps owning `source`.
void set_current_scene(obs_source_t *source);
// Runs every registered frontend callback with its data, as the frontend does.
void fire(enum obs_frontend_event event);
size_t registered_callbacks();
// The data `callback` was registered with; false when it is not registered.
bool registered_data(obs_frontend_event_cb callback, void **data);
// Removals of a callback that was not registered (the real frontend logs an
// error for each).
size_t stray_callback_removals();
// Runs whenever the current scene is asked for (a pass starts), from inside
// that call; null for none.
void on_current_scene_requested(std::function<void()> hook);

// ---- UI tasks -------------------------------------------------------------
// Installs a UI task handler that keeps obs_queue_task(OBS_TASK_UI, ...)
// tasks (those queued with wait = true run at once, as the frontend runs them)
// until run_ui_tasks runs them on the calling thread, which so plays
// the UI thread. libobs queues a task of its own at once, which marks the
// thread that runs it as its UI thread. Without a handler, headless libobs
// logs and drops UI tasks.
void queue_ui_tasks();
size_t queued_ui_tasks();
// Runs the tasks queued so far, in order; returns how many ran.
size_t run_ui_tasks();

// ---- the log --------------------------------------------------------------
// Lines up to this level (LOG_ERROR ... LOG_DEBUG) are echoed to stderr as
// they arrive; the default is LOG_INFO, -1 echoes nothing.
void echo_log_up_to(int level);
size_t count_log(const std::string &needle);
// The lines that start with the module's log prefix, up to a level.
std::vector<std::string> module_lines(int up_to_level = LOG_DEBUG);
// Its warnings and errors.
std::vector<std::string> module_problem_lines();
void clear_log();

} // namespace headless
