// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// Drives the module the way the host does: through its entry points and the
// callbacks it registered with the stand-in host. Each test runs in its own
// process, so the module's process-wide state starts fresh.

#include "standin_host.hpp"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <obs-module.h>
#include <sstream>
#include <string>
#include <unistd.h>

// Declared by the module's OBS_DECLARE_MODULE(); the host reaches them by name.
extern "C" void obs_module_set_pointer(obs_module_t *module);
extern "C" uint32_t obs_module_ver(void);

inline const std::string signature_name = "Brivora Signature";
inline const std::string base_url = std::string("https://") + BRIVORA_SERVICE_HOST + "/brivora";

class HostTest : public ::testing::Test {
protected:
	std::filesystem::path config_home;
	obs_source_t *scene = nullptr;

	void SetUp() override
	{
		standin::reset();
		char dir_template[] = "/tmp/brivora-host-XXXXXX";
		ASSERT_NE(mkdtemp(dir_template), nullptr);
		config_home = dir_template;
		std::filesystem::create_directories(config_home / "obs-studio");
		standin::set_config_home(config_home.string());
		scene = standin::create_scene("Scene");
		standin::set_current_scene(scene);
		obs_module_set_pointer(nullptr);
		ASSERT_TRUE(obs_module_load());
	}

	void TearDown() override
	{
		if (loaded)
			obs_module_unload();
		expect_clean_host();
		std::filesystem::remove_all(config_home);
	}

	void unload()
	{
		obs_module_unload();
		loaded = false;
	}

	// Every pass must hand back every reference it took.
	void expect_clean_host()
	{
		EXPECT_EQ(standin::outstanding_module_refs(), 0) << standin::ref_report();
		for (const auto &error : standin::errors())
			ADD_FAILURE() << "host misuse: " << error;
	}

	void pass()
	{
		standin::frontend_event(OBS_FRONTEND_EVENT_SCENE_CHANGED);
		expect_clean_host();
	}

	std::filesystem::path user_ini() const { return config_home / "obs-studio" / "user.ini"; }

	void write_user_ini(const std::string &content) const
	{
		std::ofstream(user_ini(), std::ios::binary) << content;
	}

	std::string read_user_ini() const
	{
		std::ifstream in(user_ini(), std::ios::binary);
		std::stringstream buffer;
		buffer << in.rdbuf();
		return buffer.str();
	}

	std::string signature_setting_url() const
	{
		obs_source_t *signature = standin::find_source(signature_name);
		if (!signature)
			return "<no signature source>";
		for (const auto &setting : standin::settings(signature))
			if (setting.key == "url")
				return std::get<std::string>(setting.value);
		return "<no url>";
	}

	std::vector<std::string> module_log_lines() const
	{
		std::vector<std::string> lines;
		for (const auto &line : standin::logs())
			if (line.text.rfind("[brivora-signature-guard] ", 0) == 0)
				lines.push_back(line.text);
		return lines;
	}

	obs_source_t *browser_source(const std::string &name, const std::string &url)
	{
		return standin::create_source("browser_source", name, {{"url", url}});
	}

private:
	bool loaded = true;
};
