// SPDX-License-Identifier: GPL-2.0-or-later
#include "host_fixture.hpp"

#include <algorithm>
#include <obs.hpp>

using standin::Setting;

namespace {

const std::vector<Setting> required_settings(const std::string &url)
{
	return {{"url", url}, {"width", 560LL}, {"height", 80LL}, {"shutdown", false}, {"restart_when_active", true}};
}

std::string default_signature_url()
{
	return base_url + "/dravelo/widgets/signature/";
}

// The signature item: on top, visible, locked, at (1348, 992).
void expect_signature_on_top(obs_source_t *scene)
{
	auto items = standin::items(scene);
	ASSERT_FALSE(items.empty());
	const auto &top = items.back();
	EXPECT_EQ(top.source_name, signature_name);
	EXPECT_TRUE(top.visible);
	EXPECT_TRUE(top.locked);
	EXPECT_FLOAT_EQ(top.x, 1348.0f);
	EXPECT_FLOAT_EQ(top.y, 992.0f);
}

} // namespace

TEST_F(HostTest, LoadRegistersBothCallbacksAndUnloadRemovesThem)
{
	EXPECT_EQ(module_log_lines(),
		  std::vector<std::string>{"[brivora-signature-guard] Brivora Rurozezod Ivuri loaded (version 1.2.0)"});
	EXPECT_EQ(standin::logs().front().level, LOG_INFO);
	EXPECT_EQ(standin::tick_callbacks().size(), 1u);
	EXPECT_EQ(standin::frontend_callbacks().size(), 1u);
	EXPECT_EQ(obs_module_ver(), LIBOBS_API_VER);

	unload();
	EXPECT_TRUE(standin::tick_callbacks().empty());
	EXPECT_TRUE(standin::frontend_callbacks().empty());
	EXPECT_EQ(module_log_lines().back(), "[brivora-signature-guard] Brivora Rurozezod Ivuri unloaded");
}

TEST_F(HostTest, LocaleLookupIsReplacedAndFreed)
{
	standin::set_locale_strings("en-US", {{"Greeting", "Hello"}});
	standin::set_locale_strings("de-DE", {{"Greeting", "Hallo"}});
	obs_module_set_locale("en-US");
	obs_module_set_locale("de-DE");
	EXPECT_EQ(standin::live_locale_lookups(), 1u);
	const char *text = nullptr;
	ASSERT_TRUE(obs_module_get_string("Greeting", &text));
	EXPECT_STREQ(text, "Hallo");
	EXPECT_FALSE(obs_module_get_string("Missing", &text));
	obs_module_free_locale();
	EXPECT_EQ(standin::live_locale_lookups(), 0u);
}

TEST_F(HostTest, TicksQueueOnePassOnTheUiThreadEveryTwoSeconds)
{
	for (int i = 0; i < 3; ++i)
		standin::tick(0.5f);
	EXPECT_TRUE(standin::queued_tasks().empty());
	standin::tick(0.5f); // the fourth half second reaches 2.0 exactly
	ASSERT_EQ(standin::queued_tasks().size(), 1u);
	EXPECT_EQ(standin::queued_tasks()[0].type, OBS_TASK_UI);
	EXPECT_FALSE(standin::queued_tasks()[0].wait);
	EXPECT_EQ(standin::find_source(signature_name), nullptr) << "the tick itself must not run the pass";

	// While that pass waits, more frame time queues nothing more.
	standin::tick(5.0f);
	EXPECT_EQ(standin::queued_tasks().size(), 1u);

	EXPECT_EQ(standin::run_queued_tasks(), 1u);
	expect_clean_host();
	expect_signature_on_top(scene);
}

TEST_F(HostTest, ALongFrameRunsOnePassAndDiscardsTheRest)
{
	standin::tick(5.0f);
	EXPECT_EQ(standin::run_queued_tasks(), 1u);
	standin::tick(1.9f); // the 3 s above 2.0 were not carried over
	EXPECT_TRUE(standin::queued_tasks().empty());
	standin::tick(0.1f);
	EXPECT_EQ(standin::queued_tasks().size(), 1u);
}

TEST_F(HostTest, ListedEventsRunAPassAtOnceWithoutTouchingTheTickCount)
{
	standin::tick(1.5f);
	for (auto event : {OBS_FRONTEND_EVENT_STREAMING_STARTED, OBS_FRONTEND_EVENT_SCENE_CHANGED,
			   OBS_FRONTEND_EVENT_FINISHED_LOADING}) {
		SCOPED_TRACE(event);
		// The user has hidden the item: only a pass shows it again.
		if (obs_sceneitem_t *item = obs_scene_find_source(obs_scene_from_source(scene), signature_name.c_str()))
			obs_sceneitem_set_visible(item, false);
		standin::frontend_event(event);
		expect_signature_on_top(scene);
	}
	EXPECT_TRUE(standin::queued_tasks().empty());
	standin::tick(0.5f);
	EXPECT_EQ(standin::queued_tasks().size(), 1u) << "events must leave the accumulated 1.5 s alone";
}

TEST_F(HostTest, OtherEventsRunNothing)
{
	for (auto event : {OBS_FRONTEND_EVENT_STREAMING_STARTING, OBS_FRONTEND_EVENT_RECORDING_STARTED,
			   OBS_FRONTEND_EVENT_SCENE_LIST_CHANGED,
			   OBS_FRONTEND_EVENT_SCENE_COLLECTION_CLEANUP, OBS_FRONTEND_EVENT_PREVIEW_SCENE_CHANGED})
		standin::frontend_event(event);
	EXPECT_EQ(standin::find_source(signature_name), nullptr);
	EXPECT_TRUE(standin::order_calls().empty());
}

TEST_F(HostTest, APassQueuedBeforeUnloadDoesNothing)
{
	standin::tick(2.0f);
	ASSERT_EQ(standin::queued_tasks().size(), 1u);
	unload();
	standin::run_queued_tasks();
	EXPECT_EQ(standin::find_source(signature_name), nullptr);
	EXPECT_TRUE(standin::order_calls().empty());
}

TEST_F(HostTest, NoPassRunsOnceTheHostBeginsToQuit)
{
	for (auto quitting : {OBS_FRONTEND_EVENT_SCRIPTING_SHUTDOWN, OBS_FRONTEND_EVENT_EXIT}) {
		standin::reset();
		standin::set_current_scene(scene = standin::create_scene("Scene"));
		ASSERT_TRUE(obs_module_load());
		standin::tick(2.0f);
		standin::frontend_event(quitting);
		standin::run_queued_tasks();
		standin::frontend_event(OBS_FRONTEND_EVENT_SCENE_CHANGED);
		EXPECT_EQ(standin::find_source(signature_name), nullptr) << "event " << quitting;
		obs_module_unload();
	}
	ASSERT_TRUE(obs_module_load()); // for the fixture's own unload
}

TEST_F(HostTest, FirstPassCreatesAndPlacesTheSignature)
{
	standin::add_item(scene, standin::create_source("color_source", "Background"));
	standin::add_item(scene, standin::create_source("text_source", "Title"));
	pass();

	obs_source_t *signature = standin::find_source(signature_name);
	ASSERT_NE(signature, nullptr);
	EXPECT_EQ(standin::source_id(signature), "browser_source");
	EXPECT_EQ(standin::settings(signature), required_settings(default_signature_url()));
	EXPECT_EQ(standin::item_names(scene), (std::vector<std::string>{"Background", "Title", signature_name}));
	expect_signature_on_top(scene);
	EXPECT_TRUE(standin::order_calls().empty()) << "a new item is already on top";
}

TEST_F(HostTest, EveryPassUndoesTheUsersEditsToTheItem)
{
	pass();
	obs_source_t *other = standin::create_source("color_source", "Overlay");
	obs_sceneitem_t *item = obs_scene_find_source(obs_scene_from_source(scene), signature_name.c_str());
	obs_sceneitem_set_visible(item, false);
	obs_sceneitem_set_locked(item, false);
	vec2 moved = {{{10.0f, 20.0f}}};
	obs_sceneitem_set_pos(item, &moved);
	standin::add_item(scene, other); // now above the signature
	pass();
	expect_signature_on_top(scene);

	ASSERT_EQ(standin::order_calls().size(), 1u);
	EXPECT_EQ(standin::order_calls()[0].movement, OBS_ORDER_MOVE_TOP);

	obs_sceneitem_remove(obs_scene_find_source(obs_scene_from_source(scene), signature_name.c_str()));
	pass();
	expect_signature_on_top(scene);
	pass();
	EXPECT_EQ(standin::update_count(standin::find_source(signature_name)), 0);
	EXPECT_EQ(standin::order_calls().size(), 1u) << "the order is set only when the item is not on top";
}

TEST_F(HostTest, SettingsAreRewrittenTogetherOnlyWhenOneDiffers)
{
	struct Case {
		const char *what;
		Setting edit;
	};
	const Case cases[] = {
		{"another url", {"url", std::string("https://elsewhere.example/")}},
		{"url in another case", {"url", "HTTPS" + default_signature_url().substr(5)}},
		{"width", {"width", 600LL}},
		{"height", {"height", 81LL}},
		{"shutdown", {"shutdown", true}},
		{"restart_when_active", {"restart_when_active", false}},
	};
	pass();
	obs_source_t *signature = standin::find_source(signature_name);
	int updates = 0;
	for (const auto &c : cases) {
		{
			OBSDataAutoRelease edit = obs_data_create();
			if (auto *s = std::get_if<std::string>(&c.edit.value))
				obs_data_set_string(edit, c.edit.key.c_str(), s->c_str());
			else if (auto *i = std::get_if<long long>(&c.edit.value))
				obs_data_set_int(edit, c.edit.key.c_str(), *i);
			else
				obs_data_set_bool(edit, c.edit.key.c_str(), std::get<bool>(c.edit.value));
			obs_source_update(signature, edit);
		}
		updates = standin::update_count(signature);
		pass();
		EXPECT_EQ(standin::update_count(signature), updates + 1) << c.what;
		auto now = standin::settings(signature);
		for (const auto &required : required_settings(default_signature_url()))
			EXPECT_NE(std::find(now.begin(), now.end(), required), now.end()) << c.what << ": " << required.key;
	}

	// A setting the module does not own is the user's business.
	{
		OBSDataAutoRelease zoom = obs_data_create();
		obs_data_set_int(zoom, "zoom", 150);
		obs_source_update(signature, zoom);
	}
	updates = standin::update_count(signature);
	pass();
	EXPECT_EQ(standin::update_count(signature), updates);
}

TEST_F(HostTest, AnExistingSourceIsUsedWhateverItsKindAndWherever)
{
	obs_source_t *other_scene = standin::create_scene("Other");
	obs_source_t *existing =
		standin::create_source("image_source", signature_name, {{"file", std::string("a.png")}, {"width", 10LL}});
	standin::add_item(other_scene, existing);
	pass();

	EXPECT_EQ(standin::find_source(signature_name), existing);
	EXPECT_FALSE(standin::created_by_module(existing));
	EXPECT_EQ(standin::update_count(existing), 1);
	auto settings = standin::settings(existing);
	EXPECT_EQ(settings.front(), (Setting{"file", std::string("a.png")}));
	expect_signature_on_top(scene);
	EXPECT_EQ(standin::item_names(other_scene), std::vector<std::string>{signature_name});
}

TEST_F(HostTest, CreationFailureEndsThePassBeforeTheSweep)
{
	standin::add_item(scene, browser_source("Stream Alerts", "https://x.example/alerts/1"));
	standin::fail_source_create(true);
	pass();
	EXPECT_EQ(standin::item_names(scene), std::vector<std::string>{"Stream Alerts"});
	EXPECT_TRUE(standin::order_calls().empty());
}

TEST_F(HostTest, AFailedAddSkipsOnlyThePlacement)
{
	standin::add_item(scene, browser_source("Stream Alerts", "https://x.example/alerts/1"));
	standin::fail_scene_add(true);
	pass();
	EXPECT_TRUE(standin::item_names(scene).empty()) << "the sweep still ran";
	EXPECT_TRUE(standin::order_calls().empty());
}

TEST_F(HostTest, WithoutSceneOrSceneViewThePassDoesNothing)
{
	const std::string older = "[BasicWindow]\nExtraBrowserDocks=[]\n";
	write_user_ini("[General]\nurl=" + base_url + "/someone/x?widgetToken=tok\n" + older);
	obs_source_t *alerts = browser_source("Stream Alerts", base_url + "/someone/alerts/?widgetToken=t2");
	standin::add_item(scene, alerts);

	standin::set_current_scene(nullptr);
	pass();
	standin::set_current_scene(scene);
	standin::hide_scene_views(true);
	pass();

	EXPECT_EQ(standin::find_source(signature_name), nullptr);
	EXPECT_EQ(standin::item_names(scene), std::vector<std::string>{"Stream Alerts"});
	EXPECT_NE(read_user_ini().find(older), std::string::npos) << "no discovery, so no dock repair";

	standin::hide_scene_views(false);
	pass();
	EXPECT_EQ(signature_setting_url(), base_url + "/someone/widgets/signature/?widgetToken=tok");
}
