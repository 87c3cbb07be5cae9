// SPDX-License-Identifier: GPL-2.0-or-later
#include "real_host.h"

#include "headless_host.h"

#include <obs-module.h>
#include <util/bmem.h>

#include <fstream>
#include <sstream>

namespace {

bool libobs_started_in_this_process = false;

} // namespace

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
	EXPECT_EQ(count_log("[brivora-signature-guard] Brivora Rurozezod Ivuri unloaded"), 1u);
	EXPECT_EQ(module_problem_lines(), std::vector<std::string>{});
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
