// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// A headless libobs in the test process (headless_host.h), and the module
// loaded from its built file the way the host loads a plug-in.

#include "headless_host.h"

#include <array>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

// Calls of the placement setters, counted by the harness.
enum placement_call { set_visible, set_locked, set_pos, set_order };

// Every host call is made from the test thread, which plays the UI thread.
class RealHost : public ::testing::Test {
protected:
	void SetUp() override;
	void TearDown() override;

	// Releases every reference the case holds, waits until libobs has no
	// live source left, shuts libobs down (which unloads the module) and
	// checks that nothing leaked. Idempotent; TearDown calls it too.
	void shut_down_host();

	// The scene the stand-in frontend reports as current (null for none).
	// The case keeps owning `source`.
	static void set_current_scene(obs_source_t *source);
	// Runs every frontend callback the module registered, as the frontend
	// does; then `host_finishes` (the host's own handling after it raised
	// the event) and, for an event that asks for a pass, the UI task that
	// the module's thread queues for it, as the UI thread's event loop does.
	static void fire(enum obs_frontend_event event, const std::function<void()> &host_finishes = {});
	static size_t registered_callbacks();
	// Runs at the start of every pass (when the module asks for the current
	// scene), from inside it.
	static void on_pass_start(std::function<void()> hook);

	// The UI thread's share: the UI tasks queued so far (not those they
	// queue) run on the calling thread; their count.
	static size_t run_ui_tasks();
	static size_t queued_ui_tasks();
	// The module's own thread hands a due pass on a fraction of a second
	// after the frame: waits until `count` tasks are queued; false when
	// they are not within seconds.
	static bool wait_for_ui_tasks(size_t count);
	// Threads of this process with the name of the module's hand-off thread.
	static size_t handoff_threads();

	// Log lines, each with its level, as libobs received them.
	static size_t count_log(const std::string &needle);
	static std::vector<std::string> module_problem_lines();

	// A scene owned by the fixture until shutdown.
	obs_scene_t *make_scene(const char *name);
	// A source of `kind` with a "url" setting (when url is non-null), added
	// to `scene`; the scene holds the only reference.
	obs_sceneitem_t *add_source(obs_scene_t *scene, const char *name, const char *url,
				    const char *kind = "browser_source");

	// make_scene, reported as the current scene.
	obs_scene_t *make_current_scene(const char *name = "Main");

	// ---- host calls the module makes, seen on their way to libobs -----
	// libobs calls tick callbacks only while video runs: the case calls
	// the tick the module registered, with a frame time of its choosing
	// (from any thread: the graphics thread's share).
	static void tick(float seconds);
	static size_t tick_callbacks(); // registered and not removed
	static size_t source_updates(); // obs_source_update calls so far
	// Calls of obs_sceneitem_set_visible, _set_locked, _set_pos and
	// _set_order (by anyone) since the last reset.
	static std::array<int, 4> placement_calls();
	static void reset_placement_calls();
	// While set, obs_source_create returns null (no input makes libobs
	// fail to create a source on demand).
	static void fail_source_create(bool fail);

	obs_module_t *module() const { return module_; }
	std::filesystem::path data_dir() const { return home_.data_dir(); }
	std::filesystem::path config_dir() const { return home_.config_dir(); }
	std::filesystem::path user_ini() const { return home_.user_ini(); }
	void write_user_ini(const std::string &content) const;
	std::string read_user_ini() const;

	bool host_running_ = false;
	// Warning lines of the module the case expects; any other fails it.
	std::vector<std::string> expected_problem_lines_;

private:
	headless::Home home_;
	std::vector<obs_scene_t *> scenes_;
	obs_module_t *module_ = nullptr;
};

// Names of the scene's items, bottom first.
std::vector<std::string> item_names(obs_scene_t *scene);
