// SPDX-License-Identifier: GPL-2.0-or-later
// Checks that the stand-in host's own accounting and libobs-like behaviour hold,
// since the module's tests rely on them to catch faults.
#include "standin_host.hpp"

#include <obs.hpp>
#include <util/base.h>
#include <util/platform.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

bool has_error(const std::string &needle)
{
	for (auto &e : standin::errors())
		if (e.find(needle) != std::string::npos)
			return true;
	return false;
}

class StandinSelfTest : public ::testing::Test {
protected:
	void SetUp() override { standin::reset(); }
};

TEST_F(StandinSelfTest, LeakIsCountedUntilReleased)
{
	obs_source_t *scene = standin::create_scene("Main");
	standin::set_current_scene(scene);
	EXPECT_EQ(standin::outstanding_module_refs(), 0);

	obs_source_t *byName = obs_get_source_by_name("Main");
	obs_source_t *current = obs_frontend_get_current_scene();
	obs_data_t *settings = obs_source_get_settings(byName);
	EXPECT_EQ(byName, scene);
	EXPECT_EQ(current, scene);
	EXPECT_EQ(standin::outstanding_module_refs(), 3);
	EXPECT_NE(standin::ref_report().find("source 'Main': 2"), std::string::npos);

	obs_data_release(settings);
	obs_source_release(current);
	EXPECT_EQ(standin::outstanding_module_refs(), 1); // byName is leaked
	EXPECT_EQ(standin::module_refs(scene), 1);

	obs_source_release(byName);
	EXPECT_EQ(standin::outstanding_module_refs(), 0);
	EXPECT_TRUE(standin::is_alive(scene)); // the host still holds it
	EXPECT_TRUE(standin::errors().empty());
	EXPECT_EQ(obs_get_source_by_name("Nope"), nullptr);
}

TEST_F(StandinSelfTest, DoubleAndBorrowedReleasesAreReported)
{
	obs_data_t *d = obs_data_create();
	obs_data_release(d);
	EXPECT_TRUE(standin::errors().empty());
	obs_data_release(d); // object is gone
	ASSERT_EQ(standin::errors().size(), 1u);
	EXPECT_TRUE(has_error("used after it was destroyed"));

	standin::clear_errors();
	obs_source_t *scene = standin::create_scene("Main");
	obs_source_t *cam = standin::create_source("cam_id", "Cam");
	obs_sceneitem_t *item = standin::add_item(scene, cam);
	obs_source_t *ref = obs_get_source_by_name("Cam");
	obs_source_release(ref);
	obs_source_release(ref); // still alive (host ref), but not the module's
	EXPECT_TRUE(has_error("released more often than the module referenced it"));
	EXPECT_TRUE(standin::is_alive(cam));

	standin::clear_errors();
	obs_source_release(obs_sceneitem_get_source(item)); // borrowed pointer
	EXPECT_EQ(standin::errors().size(), 1u);
	EXPECT_EQ(standin::outstanding_module_refs(), 0);
	EXPECT_TRUE(standin::is_alive(cam));

	standin::clear_errors();
	obs_data_t *settings = obs_source_get_settings(cam);
	{
		OBSDataAutoRelease a = settings; // obs.hpp wrappers release through us
		OBSSourceAutoRelease b = obs_get_source_by_name("Cam");
	}
	EXPECT_EQ(standin::outstanding_module_refs(), 0);
	EXPECT_TRUE(standin::errors().empty());
}

struct EnumCtx {
	std::vector<std::string> visited;
	std::string removeName;
	std::string nameAfterRemoval;
};

bool remove_named(obs_scene_t *, obs_sceneitem_t *item, void *param)
{
	auto *ctx = static_cast<EnumCtx *>(param);
	std::string name = obs_source_get_name(obs_sceneitem_get_source(item));
	ctx->visited.push_back(name);
	if (name == ctx->removeName) {
		obs_sceneitem_remove(item);
		// Still usable inside the callback, as in libobs.
		ctx->nameAfterRemoval = obs_source_get_name(obs_sceneitem_get_source(item));
	}
	return true;
}

TEST_F(StandinSelfTest, RemovingTheVisitedItemDuringEnumerationWorks)
{
	obs_source_t *sceneSrc = standin::create_scene("Main");
	standin::add_item(sceneSrc, standin::create_source("a", "A"));
	obs_scene_t *scene = obs_scene_from_source(sceneSrc);
	ASSERT_NE(scene, nullptr);
	obs_source_t *b = obs_source_create("b", "B", nullptr, nullptr);
	ASSERT_NE(obs_scene_add(scene, b), nullptr);
	obs_source_release(b); // the item now holds the only reference
	standin::add_item(sceneSrc, standin::create_source("c", "C"));

	EnumCtx ctx{{}, "B", {}};
	obs_scene_enum_items(scene, remove_named, &ctx);
	EXPECT_EQ(ctx.visited, (std::vector<std::string>{"A", "B", "C"}));
	EXPECT_EQ(ctx.nameAfterRemoval, "B");
	EXPECT_EQ(standin::item_names(sceneSrc), (std::vector<std::string>{"A", "C"}));
	EXPECT_FALSE(standin::is_alive(b)); // last reference dropped after the callback
	EXPECT_EQ(obs_get_source_by_name("B"), nullptr);
	EXPECT_EQ(standin::outstanding_module_refs(), 0);
	EXPECT_TRUE(standin::errors().empty());
}

bool remove_next(obs_scene_t *scene, obs_sceneitem_t *item, void *)
{
	if (std::string(obs_source_get_name(obs_sceneitem_get_source(item))) == "A")
		obs_sceneitem_remove(obs_scene_find_source(scene, "B"));
	return true;
}

TEST_F(StandinSelfTest, StaleItemsAndObjectsAreReported)
{
	obs_source_t *sceneSrc = standin::create_scene("Main");
	standin::add_item(sceneSrc, standin::create_source("a", "A"));
	standin::add_item(sceneSrc, standin::create_source("b", "B"));
	obs_scene_t *scene = obs_scene_from_source(sceneSrc);
	obs_scene_enum_items(scene, remove_next, nullptr);
	EXPECT_TRUE(has_error("callback removed the next item ('B')"));

	standin::clear_errors();
	obs_sceneitem_t *a = obs_scene_find_source(scene, "A");
	obs_sceneitem_remove(a);
	EXPECT_TRUE(standin::errors().empty());
	EXPECT_FALSE(obs_sceneitem_set_visible(a, false));
	EXPECT_TRUE(has_error("used after it was removed"));

	standin::reset();
	EXPECT_EQ(obs_source_get_name(sceneSrc), nullptr);
	EXPECT_TRUE(has_error("unknown source pointer"));
}

TEST_F(StandinSelfTest, DataAndSourcesBehaveLikeLibobs)
{
	obs_data_t *d = obs_data_create();
	EXPECT_STREQ(obs_data_get_string(d, "missing"), "");
	EXPECT_EQ(obs_data_get_int(d, "missing"), 0);
	EXPECT_FALSE(obs_data_get_bool(d, "missing"));
	EXPECT_FALSE(obs_data_has_user_value(d, "missing"));
	obs_data_set_string(d, "url", "x");
	obs_data_set_int(d, "width", 10);
	obs_data_set_bool(d, "on", true);
	obs_data_set_string(d, "url", "y"); // overwrite keeps the position
	EXPECT_EQ(standin::keys(d), (std::vector<std::string>{"url", "width", "on"}));
	EXPECT_EQ(obs_data_get_int(d, "url"), 0); // wrong type -> default

	obs_source_t *s = obs_source_create("browser", "Web", d, nullptr);
	obs_data_set_int(d, "width", 99); // the source got a copy
	EXPECT_EQ(standin::settings(s)[1], (standin::Setting{"width", 10LL}));
	obs_data_t *upd = obs_data_create();
	obs_data_set_int(upd, "height", 5);
	obs_data_set_string(upd, "url", "z");
	obs_source_update(s, upd);
	EXPECT_EQ(standin::update_count(s), 1);
	EXPECT_EQ(standin::settings(s),
		  (std::vector<standin::Setting>{{"url", std::string("z")}, {"width", 10LL}, {"on", true}, {"height", 5LL}}));
	EXPECT_EQ(obs_scene_from_source(s), nullptr);

	standin::fail_source_create(true);
	EXPECT_EQ(obs_source_create("x", "X", nullptr, nullptr), nullptr);
	obs_data_release(upd);
	obs_data_release(d);
	obs_source_release(s);
	EXPECT_FALSE(standin::is_alive(s));
	EXPECT_EQ(standin::outstanding_module_refs(), 0);
	EXPECT_TRUE(standin::errors().empty());
}

TEST_F(StandinSelfTest, SceneAddOrderAndSwitches)
{
	obs_source_t *sceneSrc = standin::create_scene("Main");
	obs_source_t *a = standin::create_source("a", "A");
	obs_source_t *b = standin::create_source("b", "B");
	standin::add_item(sceneSrc, a);
	obs_scene_t *scene = obs_scene_from_source(sceneSrc);
	obs_sceneitem_t *item = obs_scene_add(scene, b);
	ASSERT_NE(item, nullptr);
	auto items = standin::items(sceneSrc);
	ASSERT_EQ(items.size(), 2u);
	EXPECT_EQ(items[1].source_name, "B");
	EXPECT_TRUE(items[1].visible);
	EXPECT_FALSE(items[1].locked);

	obs_sceneitem_set_order(item, OBS_ORDER_MOVE_BOTTOM);
	EXPECT_EQ(standin::item_names(sceneSrc), (std::vector<std::string>{"B", "A"}));
	obs_sceneitem_set_order(item, OBS_ORDER_MOVE_TOP);
	EXPECT_EQ(standin::item_names(sceneSrc), (std::vector<std::string>{"A", "B"}));
	ASSERT_EQ(standin::order_calls().size(), 2u);
	EXPECT_EQ(standin::order_calls()[1].movement, OBS_ORDER_MOVE_TOP);
	EXPECT_EQ(standin::order_calls()[1].source, "B");

	vec2 pos{};
	pos.x = 3.0f;
	pos.y = 4.0f;
	obs_sceneitem_set_pos(item, &pos);
	EXPECT_TRUE(obs_sceneitem_set_locked(item, true));
	EXPECT_FALSE(obs_sceneitem_set_locked(item, true));
	items = standin::items(sceneSrc);
	EXPECT_EQ(items[1].x, 3.0f);
	EXPECT_EQ(items[1].y, 4.0f);
	EXPECT_TRUE(items[1].locked);

	standin::fail_scene_add(true);
	EXPECT_EQ(obs_scene_add(scene, a), nullptr);
	standin::hide_scene_views(true);
	EXPECT_EQ(obs_scene_from_source(sceneSrc), nullptr);
	standin::remove_source(b);
	EXPECT_EQ(standin::item_names(sceneSrc), (std::vector<std::string>{"A"}));
	EXPECT_FALSE(standin::is_alive(b));
	EXPECT_TRUE(standin::errors().empty());
}

int g_ticks = 0;
void tick_once(void *param, float)
{
	g_ticks++;
	obs_remove_tick_callback(tick_once, param);
}
void note_event(obs_frontend_event event, void *param)
{
	*static_cast<int *>(param) = int(event);
}
void bump(void *param)
{
	++*static_cast<int *>(param);
}

TEST_F(StandinSelfTest, CallbacksTasksConfigLocaleAndLogs)
{
	g_ticks = 0;
	obs_add_tick_callback(tick_once, nullptr);
	standin::tick(0.016f);
	standin::tick(0.016f);
	EXPECT_EQ(g_ticks, 1);
	EXPECT_TRUE(standin::tick_callbacks().empty());

	int lastEvent = -1;
	obs_frontend_add_event_callback(note_event, &lastEvent);
	standin::frontend_event(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	EXPECT_EQ(lastEvent, int(OBS_FRONTEND_EVENT_SCENE_CHANGED));
	obs_frontend_remove_event_callback(note_event, &lastEvent);
	EXPECT_TRUE(standin::frontend_callbacks().empty());

	int runs = 0;
	obs_queue_task(OBS_TASK_UI, bump, &runs, false);
	EXPECT_EQ(runs, 0);
	EXPECT_EQ(standin::queued_tasks().size(), 1u);
	EXPECT_EQ(standin::run_queued_tasks(), 1u);
	obs_queue_task(OBS_TASK_UI, bump, &runs, true);
	EXPECT_EQ(runs, 2);

	char path[16];
	EXPECT_LT(os_get_config_path(path, sizeof(path), "x"), 0);
	standin::set_config_home("/cfg");
	EXPECT_EQ(os_get_config_path(path, sizeof(path), "obs/a.json"), 15);
	EXPECT_STREQ(path, "/cfg/obs/a.json");
	EXPECT_EQ(os_get_config_path(path, 8, "obs/a.json"), 15); // truncated
	EXPECT_STREQ(path, "/cfg/ob");

	EXPECT_EQ(obs_module_load_locale(nullptr, "en-US", "de-DE"), nullptr);
	standin::set_locale_strings("en-US", {{"Hello", "Hello"}, {"Bye", "Bye"}});
	standin::set_locale_strings("de-DE", {{"Hello", "Hallo"}});
	lookup_t *lk = obs_module_load_locale(nullptr, "en-US", "de-DE");
	const char *out = nullptr;
	EXPECT_TRUE(text_lookup_getstr(lk, "Hello", &out));
	EXPECT_STREQ(out, "Hallo");
	EXPECT_TRUE(text_lookup_getstr(lk, "Bye", &out));
	EXPECT_STREQ(out, "Bye");
	EXPECT_FALSE(text_lookup_getstr(lk, "Missing", &out));
	EXPECT_EQ(standin::live_locale_lookups(), 1u);
	text_lookup_destroy(lk);
	text_lookup_destroy(nullptr);
	EXPECT_EQ(standin::live_locale_lookups(), 0u);
	EXPECT_TRUE(standin::errors().empty());
	text_lookup_destroy(lk);
	EXPECT_TRUE(has_error("destroyed twice"));

	blog(LOG_WARNING, "value %d of %s", 7, "x");
	EXPECT_TRUE(standin::log_contains("value 7 of x", LOG_WARNING));
	EXPECT_FALSE(standin::log_contains("value 7 of x", LOG_ERROR));
	ASSERT_EQ(standin::logs().size(), 1u);
}

} // namespace
