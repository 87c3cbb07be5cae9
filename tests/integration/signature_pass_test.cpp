// SPDX-License-Identifier: GPL-2.0-or-later
// The loaded module against real libobs objects: its entry points and
// triggers, and its passes over scenes, sources, items and settings as the
// host keeps them, with user.ini on disk.

#include "real_host.h"

#include <obs.hpp>

#include <dlfcn.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

namespace {

const std::string base_url = "https://" BRIVORA_SERVICE_HOST "/brivora";
const std::string version = BRIVORA_MODULE_VERSION;
constexpr const char *signature_name = "Brivora Signature";
const std::string removing = "[brivora-signature-guard] removing duplicate alerts source: ";

std::string docks_updated(const std::string &slug)
{
	return "[brivora-signature-guard] Brivora: OBS docks updated for " + slug +
	       ". Restart OBS if the old login docks are still open.";
}

std::string signature_url(const std::string &slug, const std::string &token)
{
	std::string url = base_url + "/" + slug + "/widgets/signature/";
	return token.empty() ? url : url + "?widgetToken=" + token;
}

// The user's own dock as the host stores it (its INI layer doubles '\').
const std::string users_dock = R"({"title": "Notes \\"mine\\"", "url": "https://notes.example/?a=1", "uuid": "4b1d"})";

std::string expected_docks_line(const std::string &slug, const std::string &token, const std::string &kept = "")
{
	auto dock = [&](const char *path) {
		return base_url + "/" + slug + "/" + path + "?dock=1&pluginVersion=" + version +
		       "&widgetToken=" + token;
	};
	return "ExtraBrowserDocks=[" + kept + "{\"title\":\"Brivora Dock Live\",\"url\":\"" + dock("live-dock/") +
	       "\",\"uuid\":\"brivora_live_dock\"},{\"title\":\"Brivora Chat\",\"url\":\"" + dock("chat/") +
	       "\",\"uuid\":\"brivora_chat_dock\"}]";
}

// A docks line as an older version of the module wrote it.
std::string older_docks_line(const std::string &slug, const std::string &token)
{
	return "ExtraBrowserDocks=[{\"title\":\"Live\",\"url\":\"" + base_url + "/" + slug +
	       "/live-dock/?dock=1&pluginVersion=1.0.0&widgetToken=" + token + "\",\"uuid\":\"x\"}]";
}

std::vector<std::string> lines_of(const std::string &text)
{
	std::vector<std::string> lines;
	std::istringstream in(text);
	for (std::string line; std::getline(in, line);)
		lines.push_back(line);
	return lines;
}

// A user.ini with the user's own dock beside one dock as an older version of
// the module left it: an old plug-in version, the token and slug in its URL.
// Another service's token comes first and must not be learnt.
const std::vector<std::string> seeded_ini_lines = {
	"[General]",
	"Name=Streaming PC",
	"Overlay=https://chat.other.example/embed?token=SECRET",
	"",
	"[BasicWindow]",
	"geometry=AdnQywADAAAAAAAA",
	"ExtraBrowserDocks=[" + users_dock + ", {\"title\":\"Brivora Dock Live\",\"url\":\"" + base_url +
		"/kaselo/live-dock/?dock=1&pluginVersion=1.1.0&widgetToken=tok-ini-7\",\"uuid\":\"brivora_live_dock\"}]",
	"DockState=AAAA",
	"",
	"[Video]",
	"BaseCX=1920",
};

std::string joined(const std::vector<std::string> &lines)
{
	std::string text;
	for (const auto &line : lines)
		text += line + "\n";
	return text;
}

// The file holds the expected docks line once, inside [BasicWindow], and
// every other seeded line in its order.
void expect_repaired_ini(const std::string &content, const std::string &expected_line)
{
	std::vector<std::string> lines = lines_of(content);
	std::vector<std::string> others;
	ptrdiff_t docks_at = -1;
	for (size_t i = 0; i < lines.size(); ++i) {
		if (lines[i].starts_with("ExtraBrowserDocks")) {
			EXPECT_EQ(docks_at, -1) << "a second docks line at " << i;
			EXPECT_EQ(lines[i], expected_line);
			docks_at = static_cast<ptrdiff_t>(i);
		} else {
			others.push_back(lines[i]);
		}
	}
	ASSERT_NE(docks_at, -1) << content;
	auto at = [&](const char *line) {
		return std::find(lines.begin(), lines.end(), line) - lines.begin();
	};
	EXPECT_GT(docks_at, at("[BasicWindow]"));
	EXPECT_LT(docks_at, at("[Video]"));
	std::vector<std::string> seeded_others = seeded_ini_lines;
	std::erase_if(seeded_others, [](const std::string &l) { return l.starts_with("ExtraBrowserDocks"); });
	EXPECT_EQ(others, seeded_others);
}

OBSDataAutoRelease settings_of(const char *name)
{
	OBSSourceAutoRelease source = obs_get_source_by_name(name);
	return source ? obs_source_get_settings(source) : nullptr;
}

std::string signature_setting_url()
{
	OBSDataAutoRelease settings = settings_of(signature_name);
	return settings ? obs_data_get_string(settings, "url") : "<no signature source>";
}

std::vector<std::string> setting_names(obs_source_t *source)
{
	OBSDataAutoRelease settings = obs_source_get_settings(source);
	std::vector<std::string> names;
	for (obs_data_item_t *item = obs_data_first(settings); item; obs_data_item_next(&item))
		names.emplace_back(obs_data_item_get_name(item));
	return names;
}

void expect_signature_settings(const std::string &url)
{
	OBSDataAutoRelease settings = settings_of(signature_name);
	ASSERT_NE(settings.Get(), nullptr) << "no signature source";
	EXPECT_EQ(std::string(obs_data_get_string(settings, "url")), url);
	EXPECT_EQ(obs_data_get_int(settings, "width"), 560);
	EXPECT_EQ(obs_data_get_int(settings, "height"), 80);
	EXPECT_TRUE(obs_data_has_user_value(settings, "shutdown"));
	EXPECT_FALSE(obs_data_get_bool(settings, "shutdown"));
	EXPECT_TRUE(obs_data_get_bool(settings, "restart_when_active"));
}

// The signature item sits visible, locked, at its place and on top.
void expect_signature_placed(obs_scene_t *scene)
{
	obs_sceneitem_t *item = obs_scene_find_source(scene, signature_name);
	ASSERT_NE(item, nullptr);
	EXPECT_TRUE(obs_sceneitem_visible(item));
	EXPECT_TRUE(obs_sceneitem_locked(item));
	vec2 pos;
	obs_sceneitem_get_pos(item, &pos);
	EXPECT_FLOAT_EQ(pos.x, 1348.0f);
	EXPECT_FLOAT_EQ(pos.y, 992.0f);
	std::vector<std::string> names = item_names(scene);
	ASSERT_FALSE(names.empty());
	EXPECT_EQ(names.back(), signature_name);
	EXPECT_EQ(std::count(names.begin(), names.end(), signature_name), 1);
}

bool file_exists(const std::filesystem::path &path)
{
	std::error_code ignored;
	return std::filesystem::exists(path, ignored);
}

// Files in user.ini's folder other than user.ini: temporary or backup files
// left behind.
size_t files_beside(const std::filesystem::path &ini)
{
	size_t count = 0;
	for (const auto &entry : std::filesystem::directory_iterator(ini.parent_path()))
		count += entry.path().filename() != ini.filename();
	return count;
}

size_t count_starting_with(const std::vector<std::string> &lines, const std::string &start)
{
	return std::count_if(lines.begin(), lines.end(), [&](const std::string &l) { return l.starts_with(start); });
}

} // namespace

// The module's thread queues the pass an event asks for within milliseconds.
size_t run_ui_tasks_after_a_while()
{
	std::this_thread::sleep_for(std::chrono::milliseconds(300));
	return headless::run_ui_tasks();
}

// ---- load, unload and the passes that find nothing to work on ------------

TEST_F(RealHost, LoadRegistersItsCallbacksAndOnlyItsEventsRunPasses)
{
	const std::vector<std::string> loaded = {"[brivora-signature-guard] Brivora Rurozezod Ivuri loaded (version " +
						 version + ")"};
	// Loaded a second time without an unload, it registers nothing more.
	auto load = reinterpret_cast<bool (*)()>(dlsym(obs_get_module_lib(module()), "obs_module_load"));
	ASSERT_NE(load, nullptr);
	EXPECT_TRUE(load());
	EXPECT_EQ(registered_callbacks(), 1u);
	EXPECT_EQ(tick_callbacks(), 1u);
	EXPECT_EQ(handoff_threads(), 1u);
	EXPECT_EQ(headless::module_lines(), loaded);
	EXPECT_EQ(headless::module_lines(LOG_INFO), loaded);

	obs_scene_t *scene = make_current_scene();
	for (auto event : {OBS_FRONTEND_EVENT_STREAMING_STARTING, OBS_FRONTEND_EVENT_RECORDING_STARTED,
			   OBS_FRONTEND_EVENT_SCENE_LIST_CHANGED, OBS_FRONTEND_EVENT_PROFILE_CHANGED,
			   OBS_FRONTEND_EVENT_SCENE_COLLECTION_CLEANUP, OBS_FRONTEND_EVENT_PREVIEW_SCENE_CHANGED})
		fire(event);
	EXPECT_EQ(run_ui_tasks_after_a_while(), 0u) << "a pass was queued on an unrelated event";
	EXPECT_EQ(settings_of(signature_name).Get(), nullptr);

	// Each of its events runs a pass at once, which undoes the user's edit,
	// and leaves the frame time counted so far alone.
	tick(1.5f);
	for (auto event : {OBS_FRONTEND_EVENT_STREAMING_STARTED, OBS_FRONTEND_EVENT_SCENE_CHANGED,
			   OBS_FRONTEND_EVENT_FINISHED_LOADING}) {
		if (obs_sceneitem_t *item = obs_scene_find_source(scene, signature_name))
			obs_sceneitem_set_visible(item, false);
		fire(event);
		EXPECT_TRUE(obs_sceneitem_visible(obs_scene_find_source(scene, signature_name))) << "event " << event;
	}
	expect_signature_settings(signature_url("dravelo", ""));
	expect_signature_placed(scene);
	EXPECT_EQ(queued_ui_tasks(), 0u);
	tick(0.5f);
	EXPECT_TRUE(wait_for_ui_tasks(1)) << "events must leave the accumulated 1.5 s alone";
	// An event while the tick's pass is queued: one queued pass at a time.
	headless::fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	EXPECT_EQ(run_ui_tasks_after_a_while(), 1u);

	// The host's exit event removes the callback from inside it; the unload
	// then leaves the frontend alone (checked at shutdown).
	fire(OBS_FRONTEND_EVENT_EXIT);
	EXPECT_EQ(registered_callbacks(), 0u);
}

TEST_F(RealHost, PassWithoutUsableCurrentSceneChangesNothing)
{
	write_user_ini(joined(seeded_ini_lines));
	obs_scene_t *scene = make_scene("Main");
	add_source(scene, "Old Alerts", (base_url + "/kaselo/widgets/alerts/?widgetToken=t1").c_str());
	OBSSourceAutoRelease input = obs_source_create("browser_source", "Not A Scene", nullptr, nullptr);
	ASSERT_NE(input.Get(), nullptr);
	ASSERT_EQ(obs_scene_from_source(input), nullptr);

	// First no current scene at all, then a current source that is no scene.
	// The host reports none while it clears a collection at a switch, and
	// runs the passes the tick queued right there.
	for (obs_source_t *current : {static_cast<obs_source_t *>(nullptr), input.Get()}) {
		set_current_scene(current);
		fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
		fire(OBS_FRONTEND_EVENT_FINISHED_LOADING);
		tick(2.0f);
		ASSERT_TRUE(wait_for_ui_tasks(1));
		EXPECT_EQ(run_ui_tasks(), 1u);
		EXPECT_EQ(settings_of(signature_name).Get(), nullptr);
		EXPECT_EQ(item_names(scene), std::vector<std::string>{"Old Alerts"});
	}
	set_current_scene(nullptr);
	input = nullptr;
	shut_down_host();
	// Nothing was learnt, so neither the passes nor the unload touched the file.
	EXPECT_EQ(read_user_ini(), joined(seeded_ini_lines));
	EXPECT_EQ(count_log("docks updated"), 0u);
}

// ---- the signature source and its item ------------------------------------

TEST_F(RealHost, PassCreatesSignatureAndPutsItsItemBackInPlace)
{
	const std::string untouched_ini =
		"[General]\nName=Streaming PC\n\n[BasicWindow]\nExtraBrowserDocks=[]\nDockState=AAAA\n";
	write_user_ini(untouched_ini);
	obs_scene_t *scene = make_current_scene();
	add_source(scene, "Camera", nullptr, "v4l2_input");
	add_source(scene, "Chat", (base_url + "/dravelo/widgets/chat/").c_str());

	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);

	// Created with a kind this host does not know, it still keeps its
	// settings, and only those (libobs 29 lists them by name, 30 and later
	// in the order they were set).
	OBSSourceAutoRelease signature = obs_get_source_by_name(signature_name);
	ASSERT_NE(signature.Get(), nullptr);
	EXPECT_STREQ(obs_source_get_id(signature), "browser_source");
	expect_signature_settings(signature_url("dravelo", ""));
	std::vector<std::string> names = setting_names(signature);
	std::sort(names.begin(), names.end());
	EXPECT_EQ(names, (std::vector<std::string>{"height", "restart_when_active", "shutdown", "url", "width"}));
	EXPECT_EQ(item_names(scene), (std::vector<std::string>{"Camera", "Chat", signature_name}));
	expect_signature_placed(scene);
	EXPECT_EQ(placement_calls()[set_order], 0) << "a new item is already on top";

	// With everything in place, a pass makes no placement call at all.
	reset_placement_calls();
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	EXPECT_EQ(placement_calls(), (std::array<int, 4>{0, 0, 0, 0}));

	// The user hides, unlocks, moves and buries it, and adds items above it.
	obs_sceneitem_t *item = obs_scene_find_source(scene, signature_name);
	obs_sceneitem_set_visible(item, false);
	obs_sceneitem_set_locked(item, false);
	vec2 elsewhere = {{{10.0f, 20.0f}}};
	obs_sceneitem_set_pos(item, &elsewhere);
	obs_sceneitem_set_order(item, OBS_ORDER_MOVE_BOTTOM);
	add_source(scene, "Overlay", nullptr, "image_source");
	ASSERT_EQ(item_names(scene).front(), signature_name);

	reset_placement_calls();
	fire(OBS_FRONTEND_EVENT_FINISHED_LOADING);
	EXPECT_EQ(placement_calls(), (std::array<int, 4>{1, 1, 1, 1}));
	EXPECT_EQ(item_names(scene), (std::vector<std::string>{"Camera", "Chat", "Overlay", signature_name}));
	expect_signature_placed(scene);

	// Removed from the scene, the existing source is added back, not a new one.
	obs_sceneitem_remove(obs_scene_find_source(scene, signature_name));
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	OBSSourceAutoRelease again = obs_get_source_by_name(signature_name);
	EXPECT_EQ(again.Get(), signature.Get());
	expect_signature_placed(scene);
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	EXPECT_EQ(placement_calls()[set_order], 1) << "the order is set only when the item is not on top";
	EXPECT_EQ(source_updates(), 0u) << "the settings held, yet were rewritten";

	signature = nullptr;
	again = nullptr;
	shut_down_host();
	// No token anywhere: user.ini is never rewritten, docks line or not.
	EXPECT_EQ(read_user_ini(), untouched_ini);
}

TEST_F(RealHost, OfSeveralSignatureItemsTheTopmostIsKeptInPlace)
{
	obs_scene_t *scene = make_current_scene();
	add_source(scene, "Chat", (base_url + "/kaselo/widgets/chat/?widgetToken=tok").c_str());
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	obs_sceneitem_t *first = obs_scene_find_source(scene, signature_name);
	OBSSourceAutoRelease signature = obs_get_source_by_name(signature_name);
	obs_sceneitem_t *second = obs_scene_add(scene, signature);
	ASSERT_NE(second, nullptr);
	const vec2 aside = {{{5.0f, 6.0f}}};
	obs_sceneitem_set_pos(first, &aside);

	auto pos_of = [](obs_sceneitem_t *item) {
		vec2 pos;
		obs_sceneitem_get_pos(item, &pos);
		return std::pair(pos.x, pos.y);
	};
	reset_placement_calls();
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	EXPECT_EQ(placement_calls(), (std::array<int, 4>{0, 1, 1, 0})) << "only the new top item is placed";
	EXPECT_EQ(pos_of(second), std::pair(1348.0f, 992.0f));
	EXPECT_TRUE(obs_sceneitem_locked(second));
	EXPECT_EQ(pos_of(first), std::pair(5.0f, 6.0f)) << "the lower item is left as it is";

	// Everything learnt and in place: a pass places nothing, and a move
	// along one axis is put back.
	reset_placement_calls();
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	EXPECT_EQ(placement_calls(), (std::array<int, 4>{0, 0, 0, 0}));
	for (const vec2 moved : {vec2{{{1348.0f, 10.0f}}}, vec2{{{10.0f, 992.0f}}}}) {
		obs_sceneitem_set_pos(second, &moved);
		reset_placement_calls();
		fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
		EXPECT_EQ(placement_calls(), (std::array<int, 4>{0, 0, 1, 0}));
		EXPECT_EQ(pos_of(second), std::pair(1348.0f, 992.0f));
	}

	// The lower item raised to the top becomes the one kept in place.
	obs_sceneitem_set_order(first, OBS_ORDER_MOVE_TOP);
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	EXPECT_EQ(pos_of(first), std::pair(1348.0f, 992.0f));
	EXPECT_EQ(item_names(scene), (std::vector<std::string>{"Chat", signature_name, signature_name}));
}

TEST_F(RealHost, PassRewritesSignatureSettingsOnlyWhenOneDiffersAndKeepsTheUsersOwn)
{
	obs_scene_t *main_scene = make_current_scene();
	obs_scene_t *second = make_scene("Second");
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	OBSSourceAutoRelease signature = obs_get_source_by_name(signature_name);
	ASSERT_NE(signature.Get(), nullptr);

	// An edit of any setting the module owns brings back all of them in
	// one update; the user's own settings bring none and stay.
	const std::pair<std::string, size_t> edits[] = {
		{R"({"url":"https://elsewhere.example/"})", 1},
		{R"({"url":"HTTPS)" + signature_url("dravelo", "").substr(5) + R"("})", 1},
		{R"({"width":600,"css":"body { margin: 0; }"})", 1},
		{R"({"height":81})", 1},
		{R"({"shutdown":true})", 1},
		{R"({"restart_when_active":false})", 1},
		{R"({"zoom":150})", 0},
	};
	for (const auto &[edit, updates] : edits) {
		SCOPED_TRACE(edit);
		OBSDataAutoRelease change = obs_data_create_from_json(edit.c_str());
		obs_source_update(signature, change);
		const size_t before = source_updates();
		fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
		EXPECT_EQ(source_updates() - before, updates);
		expect_signature_settings(signature_url("dravelo", ""));
	}
	EXPECT_STREQ(obs_data_get_string(settings_of(signature_name), "css"), "body { margin: 0; }");
	EXPECT_EQ(obs_data_get_int(settings_of(signature_name), "zoom"), 150);

	// The switch to another scene places the same source there as well.
	set_current_scene(obs_scene_get_source(second));
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	expect_signature_placed(second);
	expect_signature_placed(main_scene);
	EXPECT_EQ(obs_sceneitem_get_source(obs_scene_find_source(second, signature_name)), signature.Get());
}

TEST_F(RealHost, AnExistingSignatureSourceIsUsedWhateverItsKindAndWherever)
{
	obs_scene_t *scene = make_current_scene();
	obs_scene_t *other = make_scene("Other");
	obs_source_t *existing = obs_sceneitem_get_source(add_source(other, signature_name, nullptr, "image_source"));
	OBSDataAutoRelease own = obs_data_create_from_json(R"({"file":"a.png","width":10})");
	obs_source_update(existing, own);

	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);

	EXPECT_EQ(source_updates(), 2u) << "one update by the pass";
	OBSSourceAutoRelease found = obs_get_source_by_name(signature_name);
	EXPECT_EQ(found.Get(), existing);
	expect_signature_settings(signature_url("dravelo", ""));
	EXPECT_STREQ(obs_data_get_string(settings_of(signature_name), "file"), "a.png");
	expect_signature_placed(scene);
	EXPECT_EQ(item_names(other), std::vector<std::string>{signature_name});
}

TEST_F(RealHost, CreationFailureEndsThePassBeforeTheSweep)
{
	obs_scene_t *scene = make_current_scene();
	add_source(scene, "Stream Alerts", "https://x.example/alerts/1");
	fail_source_create(true);
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	fail_source_create(false);
	EXPECT_EQ(item_names(scene), std::vector<std::string>{"Stream Alerts"});
	EXPECT_EQ(settings_of(signature_name).Get(), nullptr);
}

TEST_F(RealHost, AFailedAddSkipsOnlyThePlacement)
{
	obs_scene_t *scene = make_current_scene();
	add_source(scene, "Stream Alerts", "https://x.example/alerts/1");
	// A signature source that holds the current scene: libobs refuses to
	// add it there.
	obs_scene_add(make_scene(signature_name), obs_scene_get_source(scene));
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	EXPECT_EQ(count_log("Failed to add source to scene due to infinite source recursion"), 1u);
	EXPECT_EQ(item_names(scene), std::vector<std::string>{}) << "the sweep still ran";
	EXPECT_EQ(placement_calls(), (std::array<int, 4>{0, 0, 0, 0}));
}

// ---- the tick and the passes it hands to the UI thread --------------------

TEST_F(RealHost, APassQueuedBeforeUnloadDoesNothing)
{
	make_current_scene();
	EXPECT_EQ(handoff_threads(), 1u);
	tick(2.0f);
	ASSERT_TRUE(wait_for_ui_tasks(1));
	tick(2.0f);       // due again while one is queued
	shut_down_host(); // checks that the module's thread is gone
	// Every pass begins by asking the frontend for the current scene.
	bool pass_ran = false;
	on_pass_start([&] { pass_ran = true; });
	EXPECT_EQ(run_ui_tasks(), 1u);
	EXPECT_FALSE(pass_ran) << "a pass ran after unload";
	on_pass_start(nullptr);
}

class QuittingHost : public RealHost, public ::testing::WithParamInterface<obs_frontend_event> {};

TEST_P(QuittingHost, NoPassRunsOnceTheHostBeginsToQuit)
{
	make_current_scene();
	tick(2.0f);
	ASSERT_TRUE(wait_for_ui_tasks(1));
	fire(GetParam());
	EXPECT_EQ(run_ui_tasks(), 1u);
	headless::fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	EXPECT_EQ(run_ui_tasks_after_a_while(), 0u);
	EXPECT_EQ(settings_of(signature_name).Get(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(RealHost, QuittingHost,
			 ::testing::Values(OBS_FRONTEND_EVENT_SCRIPTING_SHUTDOWN, OBS_FRONTEND_EVENT_EXIT),
			 [](const auto &info) {
				 return info.param == OBS_FRONTEND_EVENT_EXIT ? "Exit" : "ScriptingShutdown";
			 });

// ---- the sweep of duplicate alerts --------------------------------------

TEST_F(RealHost, PassRemovesDuplicateAlertItemsAndKeepsTheRest)
{
	const std::string alerts = base_url + "/kaselo/widgets/alerts/?widgetToken=tok-a";
	obs_scene_t *scene = make_current_scene();
	obs_scene_t *other = make_scene("Other");

	add_source(scene, "Old Alerts A", alerts.c_str());
	add_source(scene, "Old Alerts B", (alerts + "&v=2").c_str());
	add_source(scene, "Camera", nullptr, "v4l2_input");
	add_source(scene, "Brivora Alerts", (base_url + "/kaselo/widgets/alerts/?widgetToken=tok-own").c_str());
	{
		// A second item of the first source, right above the protected one.
		OBSSourceAutoRelease a = obs_get_source_by_name("Old Alerts A");
		ASSERT_NE(obs_scene_add(scene, a), nullptr);
	}
	add_source(scene, "Chat", "https://example.invalid/chat/");
	add_source(scene, "Old Alerts C", "https://example.invalid/alerts/box");
	add_source(scene, "brivora alerts", alerts.c_str()); // not the exempt name
	// The marker is "/alerts/", in this case.
	add_source(scene, "Upper", "https://x.example/ALERTS/1");
	add_source(scene, "No slash", "https://x.example/alerts");
	{
		OBSSourceAutoRelease own = obs_get_source_by_name("Brivora Alerts");
		ASSERT_NE(obs_scene_add(scene, own), nullptr);
	}
	add_source(other, "Elsewhere Alerts", alerts.c_str());

	// The host raises a frontend event from inside the sweep's removals: a
	// second pass there would sweep items the running enumeration holds.
	struct nested_events {
		int count = 0;
	} nested;
	auto raise_event = [](void *data, calldata_t *) {
		++static_cast<nested_events *>(data)->count;
		fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	};
	signal_handler_t *signals = obs_source_get_signal_handler(obs_scene_get_source(scene));
	signal_handler_connect(signals, "item_remove", raise_event, &nested);
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	signal_handler_disconnect(signals, "item_remove", raise_event, &nested);
	EXPECT_EQ(nested.count, 5);

	const std::vector<std::string> kept = {"Camera",   "Brivora Alerts", "Chat",        "Upper",
					       "No slash", "Brivora Alerts", signature_name};
	EXPECT_EQ(item_names(scene), kept);
	expect_signature_placed(scene);
	EXPECT_EQ(item_names(other), std::vector<std::string>{"Elsewhere Alerts"});
	EXPECT_EQ(count_log(removing + "Old Alerts A"), 2u);
	EXPECT_EQ(count_log(removing + "Old Alerts B"), 1u);
	EXPECT_EQ(count_log(removing + "Old Alerts C"), 1u);
	EXPECT_EQ(count_log(removing + "brivora alerts"), 1u);
	EXPECT_EQ(count_starting_with(headless::module_lines(LOG_INFO), removing), 5u);

	// The first item's token was learnt before the sweep took it away.
	expect_signature_settings(signature_url("kaselo", "tok-a"));

	fire(OBS_FRONTEND_EVENT_FINISHED_LOADING);
	EXPECT_EQ(count_log(removing), 5u);
	EXPECT_EQ(item_names(scene), kept);
}

// Studio Mode: only the program scene, and what the output shows of it.
TEST_F(RealHost, PassKeepsWhatGoesOnAirAndLeavesThePreviewAlone)
{
	obs_scene_t *main = make_current_scene("Main");
	obs_scene_t *other = make_scene("Other");
	add_source(other, "Foreign Alerts", "https://other.example/alerts/box");

	// Leaving Studio Mode, the host raises the event while the preview scene
	// is current for a moment, then sets the program scene back.
	set_current_scene(obs_scene_get_source(other));
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED, [&] { set_current_scene(obs_scene_get_source(main)); });
	EXPECT_EQ(item_names(other), std::vector<std::string>{"Foreign Alerts"});
	EXPECT_EQ(item_names(main), std::vector<std::string>{signature_name});

	// With "Duplicate Scene", a transition puts a private copy of the scene
	// on the output; the frontend's program scene is the original.
	OBSSceneAutoRelease copy = obs_scene_duplicate(other, "Other", OBS_SCENE_DUP_PRIVATE_REFS);
	obs_set_output_source(0, obs_scene_get_source(copy));
	set_current_scene(obs_scene_get_source(other));
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	EXPECT_EQ(item_names(other), std::vector<std::string>{signature_name});
	EXPECT_EQ(item_names(copy), std::vector<std::string>{signature_name});
	expect_signature_placed(copy);
	EXPECT_EQ(count_log(removing + "Foreign Alerts"), 2u);

	// No other scene on the output is touched: a public one, or a private
	// one that is no copy of the program scene.
	add_source(main, "Old Alerts", "https://other.example/alerts/old");
	OBSSceneAutoRelease stranger = obs_scene_duplicate(main, "Other Copy", OBS_SCENE_DUP_PRIVATE_REFS);
	for (obs_scene_t *shown : {main, stranger.Get()}) {
		obs_set_output_source(0, obs_scene_get_source(shown));
		fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
		EXPECT_EQ(item_names(shown), (std::vector<std::string>{signature_name, "Old Alerts"}));
	}
	obs_set_output_source(0, nullptr);
}

// ---- what is learnt, and user.ini -------------------------------------------

TEST_F(RealHost, ContextLearntFromSceneNeverCreatesUserIni)
{
	// Hosts before 31 keep their settings in global.ini and have no user.ini.
	std::ofstream(user_ini().parent_path() / "global.ini") << "[General]\nLastVersion=486539266\n";
	obs_scene_t *scene = make_current_scene();
	add_source(scene, "Background", nullptr, "color_source");
	add_source(scene, "Other Chat", "https://chat.other.example/embed?token=SECRET");
	add_source(scene, "Chat", (base_url + "/kaselo/widgets/chat/?widgetToken=tok-scene-1&theme=dark").c_str());

	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	expect_signature_settings(signature_url("kaselo", "tok-scene-1"));
	EXPECT_FALSE(file_exists(user_ini()));

	shut_down_host();
	EXPECT_FALSE(file_exists(user_ini())) << "the unload created user.ini";
	EXPECT_EQ(std::distance(std::filesystem::directory_iterator(user_ini().parent_path()),
				std::filesystem::directory_iterator()),
		  1)
		<< "files were left beside global.ini";
	EXPECT_EQ(count_log("docks"), 0u);
}

TEST_F(RealHost, UserIniWinsOverTheSceneWithinAPass)
{
	write_user_ini("[General]\nName=x\r\n[BasicWindow]\r\n" + older_docks_line("ini-slug", "ini-token") + "\r\n");
	add_source(make_current_scene(), "Widget", signature_url("scene-slug", "scene-token").c_str());
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	EXPECT_EQ(signature_setting_url(), signature_url("ini-slug", "ini-token"));
}

TEST_F(RealHost, FirstValuesFoundStayAcrossPasses)
{
	add_source(make_current_scene(), "Widget", signature_url("first", "token-1").c_str());
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	write_user_ini("[BasicWindow]\n" + older_docks_line("second", "token-2") + "\n");
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	EXPECT_EQ(signature_setting_url(), signature_url("first", "token-1"));
}

TEST_F(RealHost, ValuesLearntInTwoPassesBothReachSignatureAndDocks)
{
	// An upgrading streamer's login dock of an older release: no "/brivora/"
	// in its URL, yet it is the service's own.
	write_user_ini("[BasicWindow]\nExtraBrowserDocks=[" +
		       std::string(R"({"title": "Brivora Login", "url": "https://login.)") + BRIVORA_SERVICE_HOST +
		       R"(/obs?widgettoken=from-login", "uuid": "brivora_login_dock"}])" + "\n");
	obs_scene_t *scene = make_current_scene();
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	EXPECT_EQ(signature_setting_url(), signature_url("dravelo", "from-login"));
	EXPECT_EQ(read_user_ini(), "[BasicWindow]\n" + expected_docks_line("dravelo", "from-login") + "\n");

	add_source(scene, "Chat", (base_url + "/only-slug/widgets/chat/").c_str());
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	EXPECT_EQ(signature_setting_url(), signature_url("only-slug", "from-login"));
	EXPECT_EQ(read_user_ini(), "[BasicWindow]\n" + expected_docks_line("only-slug", "from-login") + "\n");
}

TEST_F(RealHost, TheSignatureSourceOfAnEarlierRunGivesItsContextBack)
{
	add_source(make_current_scene(), signature_name, signature_url("returning", "kept-token").c_str());
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	EXPECT_EQ(signature_setting_url(), signature_url("returning", "kept-token"));
	EXPECT_EQ(source_updates(), 1u) << "width and the rest were still missing";
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	EXPECT_EQ(source_updates(), 1u);
}

TEST_F(RealHost, OnlyTheServicesDocksInUserIniTeach)
{
	write_user_ini("[General]\nHome=" + base_url + "/general/?widgetToken=G\n[BasicWindow]\nExtraBrowserDocks=[" +
		       R"({"title": "Other", "url": "https://other.example/?widgetToken=FOREIGN", "uuid": "0f0f"}, )" +
		       R"({"title": "Mine", "url": ")" + base_url + R"(/docked/chat/?widgetToken=D", "uuid": "9"}])" +
		       "\n");
	make_current_scene();
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	EXPECT_EQ(signature_setting_url(), signature_url("docked", "D"));
}

TEST_F(RealHost, AUserIniOver16MiBIsLeftAlone)
{
	write_user_ini("[BasicWindow]\nExtraBrowserDocks=[{\"url\":\"" + base_url + "/big/?widgetToken=big\"}]\n");
	std::filesystem::resize_file(user_ini(), 16 * 1024 * 1024 + 1);
	struct stat before {};
	ASSERT_EQ(::stat(user_ini().c_str(), &before), 0);
	add_source(make_current_scene(), "Chat", (base_url + "/scene/widgets/chat/?widgetToken=tok").c_str());
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	EXPECT_EQ(signature_setting_url(), signature_url("scene", "tok"));
	shut_down_host();
	struct stat after {};
	ASSERT_EQ(::stat(user_ini().c_str(), &after), 0);
	EXPECT_EQ(after.st_ino, before.st_ino);
	EXPECT_EQ(after.st_size, before.st_size);
	EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
	EXPECT_EQ(count_log("docks"), 0u);
}

TEST_F(RealHost, AUrlCutAtTheFirst1023CharactersTeachesNothing)
{
	// 1,035 bytes: the cut leaves "widgetToken=ABCD".
	const std::string url =
		base_url + "/far/?pad=" + std::string(996 - base_url.size(), 'p') + "&widgetToken=ABCDEFGHIJKLMNOP";
	add_source(make_current_scene(), "Far", url.c_str());
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	EXPECT_EQ(signature_setting_url(), signature_url("dravelo", ""));
}

// A pass that found the docks in order remembers the file; a slug learnt
// later still reaches the docks in this run.
TEST_F(RealHost, ASlugLearntAfterTheDocksWereInOrderReachesThem)
{
	write_user_ini("[BasicWindow]\n" + expected_docks_line("dravelo", "abc") + "\n");
	obs_scene_t *scene = make_current_scene();
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	ASSERT_EQ(count_log("docks"), 0u) << "in order";
	add_source(scene, "Chat", (base_url + "/late-slug/widgets/chat/").c_str());
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	EXPECT_EQ(read_user_ini(), "[BasicWindow]\n" + expected_docks_line("late-slug", "abc") + "\n");
}

TEST_F(RealHost, ADockLineChangedAfterTheLastPassTeachesBeforeTheUnloadRepairs)
{
	write_user_ini("[BasicWindow]\n" + expected_docks_line("alice", "OLDTOKEN") + "\n");
	make_current_scene();
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	const std::string changed = "[BasicWindow]\n" + expected_docks_line("alice", "CHANGED-TOKEN") + "\n";
	write_user_ini(changed);
	shut_down_host();
	EXPECT_EQ(read_user_ini(), changed);
}

TEST_F(RealHost, PassRepairsDocksFromUserIniContext)
{
	write_user_ini(joined(seeded_ini_lines));
	obs_scene_t *scene = make_current_scene();

	fire(OBS_FRONTEND_EVENT_FINISHED_LOADING);

	expect_signature_settings(signature_url("kaselo", "tok-ini-7"));
	expect_signature_placed(scene);
	const std::string repaired = read_user_ini();
	expect_repaired_ini(repaired, expected_docks_line("kaselo", "tok-ini-7", users_dock + ","));
	EXPECT_EQ(count_log(docks_updated("kaselo")), 1u);
	EXPECT_EQ(files_beside(user_ini()), 0u);

	// A file that already holds the line is left as it is.
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	EXPECT_EQ(read_user_ini(), repaired);
	// Read back, the docks are still the module's own: the streamer's widget
	// with a new token outranks them, and the unload leaves the file alone.
	add_source(scene, "Brivora Goal", (base_url + "/kaselo/widgets/goal/?widgetToken=NEWTOKEN").c_str());
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	EXPECT_EQ(signature_setting_url(), signature_url("kaselo", "NEWTOKEN"));
	const std::string renewed = read_user_ini();
	expect_repaired_ini(renewed, expected_docks_line("kaselo", "NEWTOKEN", users_dock + ","));
	shut_down_host();
	EXPECT_EQ(read_user_ini(), renewed);
	EXPECT_EQ(count_log(docks_updated("kaselo")), 2u);
}

TEST_F(RealHost, UnloadPutsBackDocksLineDroppedAfterLastPass)
{
	write_user_ini(joined(seeded_ini_lines));
	make_current_scene();
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	ASSERT_EQ(count_log(docks_updated("kaselo")), 1u);

	// The host writes its own copy of user.ini back at exit, without the line.
	std::vector<std::string> without_docks = seeded_ini_lines;
	std::erase_if(without_docks, [](const std::string &l) { return l.starts_with("ExtraBrowserDocks"); });
	write_user_ini(joined(without_docks));

	shut_down_host();
	expect_repaired_ini(read_user_ini(), expected_docks_line("kaselo", "tok-ini-7"));
	EXPECT_EQ(count_log(docks_updated("kaselo")), 2u);
	EXPECT_FALSE(file_exists(user_ini().string() + ".brivora.bak"));
}

TEST_F(RealHost, DocksAreRepairedOnceAndKeptAtUnload)
{
	write_user_ini("[General]\r\nLanguage=en-US\r\n[BasicWindow]\r\nExtraBrowserDocks=[{\"url\":\"" + base_url +
		       "/streamer/live-dock/?widgetToken=abc\"}]\r\nGeometry=AAA\r\n");
	ASSERT_EQ(chmod(user_ini().c_str(), 0640), 0);
	make_current_scene();
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	EXPECT_EQ(read_user_ini(), "[General]\r\nLanguage=en-US\r\n[BasicWindow]\r\n" +
					   expected_docks_line("streamer", "abc") + "\r\nGeometry=AAA\r\n");
	struct stat st;
	ASSERT_EQ(stat(user_ini().c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 0777, 0640u);
	EXPECT_EQ(headless::module_lines().back(), docks_updated("streamer"));
	EXPECT_EQ(files_beside(user_ini()), 0u);

	headless::clear_log();
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	EXPECT_EQ(headless::module_lines(), std::vector<std::string>{}) << "nothing to repair the second time";

	// The host rewrites user.ini from memory at exit; the repair at unload puts the line back.
	write_user_ini("[BasicWindow]\nGeometry=AAA\n");
	shut_down_host();
	EXPECT_EQ(read_user_ini(), "[BasicWindow]\n" + expected_docks_line("streamer", "abc") + "\nGeometry=AAA\n");
	EXPECT_EQ(headless::module_lines(),
		  (std::vector<std::string>{docks_updated("streamer"),
					    "[brivora-signature-guard] Brivora Rurozezod Ivuri unloaded"}));
}

TEST_F(RealHost, ALeftoverBackupIsPutBackBeforeTheRepair)
{
	add_source(make_current_scene(), "Keyed", (base_url + "/streamer/x/?widgetToken=abc").c_str());
	std::ofstream(user_ini().string() + ".brivora.bak") << "[General]\nKeep=1\n";
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	EXPECT_EQ(read_user_ini(),
		  "[General]\nKeep=1\n[BasicWindow]\n" + expected_docks_line("streamer", "abc") + "\n");
	EXPECT_FALSE(file_exists(user_ini().string() + ".brivora.bak"));
}

TEST_F(RealHost, HostFormatDocksLineInOrderIsNeverWritten)
{
	// As the host writes it: a space after each ',' and ':', the user's dock
	// first, the service's docks in the other order.
	auto host_dock = [](const char *title, const char *path, const char *uuid) {
		return std::string("{\"title\": \"") + title + "\", \"url\": \"" + base_url + "/kaselo/" + path +
		       "?dock=1&pluginVersion=" + version + "&widgetToken=tok-ini-7\", \"uuid\": \"" + uuid + "\"}";
	};
	const std::string content = "[General]\nName=Streaming PC\n[BasicWindow]\nExtraBrowserDocks=[" + users_dock +
				    ", " + host_dock("Brivora Chat", "chat/", "brivora_chat_dock") + ", " +
				    host_dock("Brivora Dock Live", "live-dock/", "brivora_live_dock") + "]\n";
	write_user_ini(content);
	struct stat before {};
	ASSERT_EQ(::stat(user_ini().c_str(), &before), 0);
	obs_scene_t *scene = make_scene("Main");
	set_current_scene(obs_scene_get_source(scene));

	fire(OBS_FRONTEND_EVENT_FINISHED_LOADING);
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	expect_signature_settings(signature_url("kaselo", "tok-ini-7"));
	shut_down_host();

	struct stat after {};
	ASSERT_EQ(::stat(user_ini().c_str(), &after), 0);
	EXPECT_EQ(after.st_ino, before.st_ino) << "user.ini was replaced";
	EXPECT_EQ(read_user_ini(), content);
	EXPECT_EQ(count_log("docks updated"), 0u);
}

TEST_F(RealHost, RepeatedFailureWarnsOnceUntilASuccess)
{
	const std::string warning =
		"[brivora-signature-guard] Brivora: OBS docks update failed. Close OBS and run the installer as administrator.";
	write_user_ini(joined(seeded_ini_lines));
	obs_scene_t *scene = make_scene("Main");
	set_current_scene(obs_scene_get_source(scene));

	// A full disk: the rewritten file cannot be written whole.
	std::signal(SIGXFSZ, SIG_IGN);
	rlimit unlimited{};
	ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &unlimited), 0);
	const rlimit full_disk{64, unlimited.rlim_max};
	auto failing_passes = [&](int passes) {
		ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full_disk), 0);
		for (int i = 0; i < passes; ++i)
			fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
		ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &unlimited), 0);
	};

	failing_passes(3);
	EXPECT_EQ(count_log(warning), 1u);
	EXPECT_EQ(read_user_ini(), joined(seeded_ini_lines));
	EXPECT_EQ(files_beside(user_ini()), 0u);

	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	EXPECT_EQ(count_log(docks_updated("kaselo")), 1u);

	write_user_ini(joined(seeded_ini_lines)); // the host's save drops the line again
	failing_passes(2);
	EXPECT_EQ(count_log(warning), 2u);
	expected_problem_lines_ = {warning, warning};
	shut_down_host();
}

TEST_F(RealHost, UserIniOnACutPathOrNotARegularFileIsNeitherReadNorWritten)
{
	// A config folder so long that "<folder>/obs-studio/user.ini" needs
	// 1024 bytes: the host cuts it to ".../user.in", some other file.
	std::filesystem::path folder = config_dir();
	const size_t tail = std::string_view("/obs-studio/user.ini").size();
	while (folder.string().size() + tail < 1024 - 200)
		folder /= std::string(200, 'd');
	folder /= std::string(1024 - tail - folder.string().size() - 1, 'e');
	ASSERT_EQ((folder / "obs-studio" / "user.ini").string().size(), 1024u);
	std::filesystem::create_directories(folder / "obs-studio");
	const std::string line =
		"[BasicWindow]\nExtraBrowserDocks=[{\"url\":\"" + base_url + "/cut/x?widgetToken=tok-cut\"}]\n";
	for (const char *name : {"user.in", "user.ini"})
		std::ofstream(folder / "obs-studio" / name) << line;
	ASSERT_EQ(setenv("XDG_CONFIG_HOME", folder.c_str(), 1), 0);

	obs_scene_t *scene = make_scene("Main");
	add_source(scene, "Chat", (base_url + "/kaselo/widgets/chat/?widgetToken=tok-scene-1").c_str());
	set_current_scene(obs_scene_get_source(scene));
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	expect_signature_settings(signature_url("kaselo", "tok-scene-1"));

	// A pipe without a writer at user.ini: opening it must not wait.
	ASSERT_EQ(setenv("XDG_CONFIG_HOME", config_dir().c_str(), 1), 0);
	std::filesystem::create_directories(user_ini().parent_path());
	ASSERT_EQ(::mkfifo(user_ini().c_str(), 0600), 0);
	fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	shut_down_host();

	for (const char *name : {"user.in", "user.ini"}) {
		std::ifstream in(folder / "obs-studio" / name);
		EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), line) << name;
	}
	EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder / "obs-studio"),
				std::filesystem::directory_iterator()),
		  2);
	EXPECT_TRUE(std::filesystem::is_fifo(user_ini()));
	EXPECT_EQ(std::distance(std::filesystem::directory_iterator(user_ini().parent_path()),
				std::filesystem::directory_iterator()),
		  1);
}

TEST_F(RealHost, FrameTickingDuringAPassQueuesTheNext)
{
	obs_scene_t *scene = make_scene("Main");
	set_current_scene(obs_scene_get_source(scene));
	for (int i = 0; i < 4; ++i)
		tick(0.5f);
	ASSERT_TRUE(wait_for_ui_tasks(1));
	EXPECT_EQ(settings_of(signature_name).Get(), nullptr) << "a pass ran off the UI thread";

	// A frame on the graphics thread while the queued pass runs queues the
	// next one before this pass ends.
	bool queued_during_pass = false, once = false;
	on_pass_start([&] {
		if (std::exchange(once, true))
			return;
		std::thread([] { tick(2.0f); }).join();
		queued_during_pass = wait_for_ui_tasks(1);
	});
	EXPECT_EQ(run_ui_tasks(), 1u);
	on_pass_start(nullptr);
	expect_signature_placed(scene);
	EXPECT_TRUE(queued_during_pass) << "the frame during the pass queued no next pass";

	obs_sceneitem_set_visible(obs_scene_find_source(scene, signature_name), false);
	EXPECT_EQ(run_ui_tasks(), 1u);
	expect_signature_placed(scene);
	shut_down_host();
}

TEST_F(RealHost, WithTheSlugAlertsTheSignatureStays)
{
	obs_scene_t *scene = make_scene("Main");
	add_source(scene, "Brivora Alerts", (base_url + "/alerts/widgets/alerts/?widgetToken=tok-a").c_str());
	set_current_scene(obs_scene_get_source(scene));
	for (int i = 0; i < 2; ++i)
		fire(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	expect_signature_settings(signature_url("alerts", "tok-a"));
	EXPECT_EQ(item_names(scene), (std::vector<std::string>{"Brivora Alerts", signature_name}));
	EXPECT_EQ(count_log("removing duplicate alerts source"), 0u);
	shut_down_host();
}
