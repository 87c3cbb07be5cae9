// SPDX-License-Identifier: GPL-2.0-or-later
// The dock list read by meaning, as the host's JSON reader reads it; when the
// docks line of user.ini is in order or what the repair writes instead; and
// what user.ini's docks teach.

#include "user-ini/dock-line.h"
#include "user-ini/host-ini.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::literals;

// The elements of a readable list, as stored; nullopt when the host could
// not read it.
std::optional<std::vector<dock_list_element>> elements_of(std::string_view stored)
{
	std::vector<dock_list_element> elements;
	if (!read_dock_list(stored, [&](const dock_list_element &e) { elements.push_back(e); }))
		return std::nullopt;
	return elements;
}

std::vector<std::string> texts(const std::vector<dock_list_element> &list)
{
	std::vector<std::string> out;
	for (const auto &element : list)
		out.emplace_back(element.text);
	return out;
}

TEST(DockList, ReadsWhatTheHostReadsAsItStoresIt)
{
	struct row {
		std::string stored;
		std::vector<std::string> elements; // the element texts when it parses
		bool parses = true;
	} rows[] = {
		{"[]", {}},
		{" [ ] ", {}},
		{"[{\"title\": \"Notes\", \"url\": \"u\"} , 1,\"s\",[2, {\"a\": null}],true,-0.5e+3, 0, false,1e5,9E-2]",
		 {"{\"title\": \"Notes\", \"url\": \"u\"}", "1", "\"s\"", "[2, {\"a\": null}]", "true", "-0.5e+3", "0",
		  "false", "1e5", "9E-2"}},
		// The host's INI layer stores '\' as "\\" and line ends as \n, \r.
		{"[{\"title\": \"a\\\\\"b\"},\\n\"c\\\\\\\\d\"]", {"{\"title\": \"a\\\\\"b\"}", "\"c\\\\\\\\d\""}},
		{"[1,\\r\\n2]", {"1", "2"}},
		// Strings are not checked for UTF-8.
		{"[\"\xc0\xaf\", \"\xed\xa0\x80\", \"\xf4\x90\x80\x80\", \"\xe9t\x7f\"]",
		 {"\"\xc0\xaf\"", "\"\xed\xa0\x80\"", "\"\xf4\x90\x80\x80\"", "\"\xe9t\x7f\""}},
		{"{}", {}, false},
		{"[1,]", {}, false},
		{"[,1]", {}, false},
		{"[1 2]", {}, false},
		{"[01]", {}, false},
		{"[-01]", {}, false},
		{"[1.]", {}, false},
		{"[.5]", {}, false},
		{"[-]", {}, false},
		{"[1e]", {}, false},
		{"[tru]", {}, false},
		{"[\"a\x01\"]", {}, false}, // control characters in a string
		{"[\"a\x1f\"]", {}, false},
		{"[+1]", {}, false},
		{"[\"\\\\x\"]", {}, false},     // unknown escape
		{"[\"\\\\u12G4\"]", {}, false}, // bad hex
		{"[] x", {}, false},
		{"[\"a\"", {}, false},
		{"[{\"a\" 1}]", {}, false},
		{"[{\"a\":1,}]", {}, false},
		{"[{1:2}]", {}, false},
		{"", {}, false},
	};
	for (const row &r : rows) {
		const auto list = elements_of(r.stored);
		ASSERT_EQ(list.has_value(), r.parses) << r.stored;
		if (list) {
			EXPECT_EQ(texts(*list), r.elements) << r.stored;
		}
	}

	// Depth: the list is at depth 0, and no value may be deeper than 200.
	const auto nested = [](int depth, std::string_view inner) {
		return std::string(depth, '[') + std::string(inner) + std::string(depth, ']');
	};
	EXPECT_TRUE(read_dock_list(nested(201, "")));
	EXPECT_FALSE(read_dock_list(nested(202, "")));
	EXPECT_TRUE(read_dock_list(nested(200, "1")));
	EXPECT_FALSE(read_dock_list(nested(201, "1")));
	EXPECT_TRUE(read_dock_list("[{\"a\":" + nested(198, "\"x\"") + "}]"));
	EXPECT_FALSE(read_dock_list("[{\"a\":" + nested(199, "\"x\"") + "}]"));
	EXPECT_FALSE(read_dock_list(std::string(1000000, '[')));
}

TEST(DockList, DecodesTheThreeMembersOfObjects)
{
	const auto list = elements_of(
		"[{\"t\\\\u0069tle\": \"\\\\u00e9\\\\ud83d\\\\ude00\\\\ud800\\\\ud800x\", \"url\": 5, "
		"\"uuid\": \"x\", \"uuid\": \"brivora_y\", \"more\": {\"url\": \"n\"}}, [\"url\"], "
		"{\"title\": \"\\\\ud83c\\\\udfff\\\\udbff\\\\udfff\\\\ud800\\\\udc00\\\\udc00\\\\udc00\\\\u00e9"
		"\\\\u007f\\\\u0080\\\\u07FF\\\\u0800\\\\uFFFF\\\\u00Aa\", "
		"\"url\": \"https://other.example/?widgetToken=F\\\\u0000/brivora/\"}]");
	ASSERT_TRUE(list);
	ASSERT_EQ(list->size(), 3u);
	const dock_list_element &object = (*list)[0];
	EXPECT_TRUE(object.is_object);
	// A lone escaped surrogate is encoded on its own.
	EXPECT_EQ(object.title, "\xc3\xa9\xf0\x9f\x98\x80\xed\xa0\x80\xed\xa0\x80x");
	EXPECT_EQ(object.url, std::nullopt);
	EXPECT_EQ(object.uuid, "brivora_y");
	EXPECT_TRUE(is_service_entry(object));
	EXPECT_FALSE((*list)[1].is_object);
	EXPECT_FALSE(is_service_entry((*list)[1]));
	// Pairs at the ends of the range, two low halves as two characters, the
	// ends of each UTF-8 length, an escape that ends the string; a member cut
	// at its first NUL.
	EXPECT_EQ((*list)[2].title, "\xf0\x9f\x8f\xbf\xf4\x8f\xbf\xbf\xf0\x90\x80\x80\xed\xb0\x80\xed\xb0\x80\xc3\xa9"
				    "\x7f\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf\xc2\xaa");
	EXPECT_EQ((*list)[2].url, "https://other.example/?widgetToken=F");
}

// The service's docks in the module's form, and in the host's (a space after
// each ',' and ':').
const std::string live = R"({"title":"Brivora Dock Live","url":"https://)" EXPECTED_SERVICE_HOST
			 R"(/brivora/s/live-dock/?t=1","uuid":"brivora_live_dock"})";
const std::string chat = R"({"title":"Brivora Chat","url":"https://)" EXPECTED_SERVICE_HOST
			 R"(/brivora/s/chat/?t=1","uuid":"brivora_chat_dock"})";
const std::string service = live + "," + chat;
const std::string host_live = R"({"title": "Brivora Dock Live", "url": "https://)" EXPECTED_SERVICE_HOST
			      R"(/brivora/s/live-dock/?t=1", "uuid": "brivora_live_dock"})";
const std::string host_chat = R"({"title": "Brivora Chat", "url": "https://)" EXPECTED_SERVICE_HOST
			      R"(/brivora/s/chat/?t=1", "uuid": "brivora_chat_dock"})";
const std::string stale_live = R"({"title": "Brivora Dock Live", "url": "https://)" EXPECTED_SERVICE_HOST
			       R"(/brivora/s/live-dock/?t=0", "uuid": "brivora_live_dock"})";
// The user's own docks, as the host stores them ('\' doubled by its INI layer).
const std::string notes = R"({"title": "My \\"notes\\"", "url": "https://notes.example/?a=1&b=2", "uuid": "6f1c"})";
const std::string chat_popout = R"({"title":"Popout","url":"https://chat.other.example/embed?token=x","uuid":"9a2e"})";
// A title in Latin-1, which the host shows as it is.
const std::string latin1 = "{\"title\": \"Caf\xe9\", \"url\": \"https://cafe.example/\", \"uuid\": \"c4fe\"}";
const std::string dashboard = R"({"title": "Dashboard", "url": "https://brivora.app/dashboard", "uuid": "d45b"})";
// A user's dock nested as deep as the host reads, and one level deeper.
const std::string deepest = "{\"x\": " + std::string(199, '[') + std::string(199, ']') + "}";
const std::string too_deep = "{\"x\": " + std::string(200, '[') + std::string(200, ']') + "}";

// `text` with the first `from` replaced by `to`.
std::string replaced(std::string text, std::string_view from, std::string_view to)
{
	return text.replace(text.find(from), from.size(), to);
}

std::string swap_uuids(const std::string &dock)
{
	return dock.find("brivora_live_dock") != std::string::npos
		       ? replaced(dock, "brivora_live_dock", "brivora_chat_dock")
		       : replaced(dock, "brivora_chat_dock", "brivora_live_dock");
}

std::string ini(const std::string &docks_lines)
{
	return "[General]\nA=1\n[BasicWindow]\nGeom=x\n" + docks_lines + "[Other]\nB=2\n";
}

TEST(DocksLine, InOrderByMeaningOtherwiseRepairedKeepingTheUsersDocks)
{
	struct row {
		const char *name;
		std::string content;
		std::string want; // empty: in order, nothing to write
	} rows[] = {
		{"host format, user docks, either order",
		 ini("ExtraBrowserDocks=[" + notes + ", " + host_chat + ", " + chat_popout + ", " + host_live + "]\r\n"),
		 ""},
		{"the repaired line itself", ini("ExtraBrowserDocks=[" + notes + "," + service + "]\n"), ""},
		{"stale service dock dropped, user docks kept byte for byte",
		 ini("ExtraBrowserDocks=[ " + notes + " ,\t" + stale_live + ", " + host_chat + "," + chat_popout +
		     "]\n"),
		 "[" + notes + "," + chat_popout + "," + service + "]"},
		{"a third service entry",
		 ini("ExtraBrowserDocks=[" + host_live + ", " + host_chat + ", " +
		     R"({"title": "Old", "url": "x", "uuid": "brivora_old"})" + "]\n"),
		 "[" + service + "]"},
		{"one service dock only", ini("ExtraBrowserDocks=[" + notes + ", " + host_live + "]\n"),
		 "[" + notes + "," + service + "]"},
		{"two docks lines, the host's last one counts",
		 ini("ExtraBrowserDocks=[" + service + "]\nExtraBrowserDocks=[" + notes + "," + stale_live + "]\n"),
		 "[" + notes + "," + service + "]"},
		{"two sections, the host's last one counts",
		 ini("ExtraBrowserDocks=[" + notes + "]\n[BasicWindow]\nExtraBrowserDocks=[" + service + "]\n"), ""},
		{"a copy in another section does not count",
		 "[Other]\nExtraBrowserDocks=[" + service + "]\nX=ExtraBrowserDocks=[" + service + "]\n[BasicWindow]\n",
		 "[" + service + "]"},
		{"no dock line", ini(""), "[" + service + "]"},
		{"not JSON keeps nothing", ini("ExtraBrowserDocks=[" + notes + ", {\"title\":\n"), "[" + service + "]"},
		{"not an array keeps nothing", ini("ExtraBrowserDocks=" + notes + "\n"), "[" + service + "]"},
		{"uuids swapped",
		 ini("ExtraBrowserDocks=[" + swap_uuids(host_live) + ", " + swap_uuids(host_chat) + "]\n"),
		 "[" + service + "]"},
		{"stale dock of the same length",
		 ini("ExtraBrowserDocks=[" + host_chat + ", " + replaced(host_live, "t=1", "t=2") + "]\n"),
		 "[" + service + "]"},
		{"the service's site is not its dock", ini("ExtraBrowserDocks=[" + dashboard + "," + service + "]\n"),
		 ""},
		{"a Latin-1 title", ini("ExtraBrowserDocks=[" + latin1 + "," + stale_live + "]\n"),
		 "[" + latin1 + "," + service + "]"},
		{"as deep as the host reads", ini("ExtraBrowserDocks=[" + deepest + "]\n"),
		 "[" + deepest + "," + service + "]"},
		{"deeper than the host reads", ini("ExtraBrowserDocks=[" + too_deep + "]\n"), "[" + service + "]"},
	};
	for (const row &r : rows) {
		const auto line = docks_value_repair(r.content, service);
		EXPECT_EQ(line.value_or(""), r.want) << r.name;
	}
}

TEST(DocksLine, OneRewriteSettlesTheFile)
{
	std::string cut_slug = "https://" EXPECTED_SERVICE_HOST
			       "/brivora/"; // 48 characters of two bytes: one does not fit
	for (int i = 0; i < 48; ++i)
		cut_slug += "\xc3\xa9";
	struct row {
		const char *name;
		std::string learnt_from;
	} rows[] = {
		{"cut multi-byte slug", cut_slug + "/?widgetToken=t"},
		{"Latin-1 title of the user's", "https://" EXPECTED_SERVICE_HOST "/brivora/s/?widgetToken=t"},
	};
	for (const row &r : rows) {
		service_context context;
		context.absorb_url(r.learnt_from.c_str());
		const std::string content = ini("ExtraBrowserDocks=[" + notes + ", " + latin1 + "]\r\n");
		const auto line = docks_value_repair(content, context.dock_entries());
		ASSERT_TRUE(line) << r.name;
		EXPECT_EQ(*line, "[" + notes + "," + latin1 + "," + context.dock_entries() + "]") << r.name;
		EXPECT_EQ(docks_value_repair(rewrite_user_ini(content, *line), context.dock_entries()), std::nullopt)
			<< r.name;
	}
}

TEST(UserIniDocks, TeachOnlyThroughTheServicesOwnEntries)
{
	const std::string foreign =
		R"({"title": "Other", "url": "https://other.example/x?widgetToken=FOREIGN", "uuid": "0f0f"})";
	const std::string own = R"({"title": "Brivora Dock Live", "url": "https://)" EXPECTED_SERVICE_HOST
				R"(/brivora/s/live-dock/?widgetToken=mine", "uuid": "brivora_live_dock"})";
	const std::string login =
		R"({"title": "Brivora Login", "url": "https://login.brivora.example/obs?widgetToken=from-login", "uuid": "brivora_login_dock"})";
	struct row {
		const char *name;
		std::string content, token, slug;
	} rows[] = {
		{"a foreign dock first", ini("ExtraBrowserDocks=[" + foreign + ", " + own + "]\n"), "mine", "s"},
		{"the older login dock", ini("ExtraBrowserDocks=[" + login + "]\n"), "from-login", "dravelo"},
		{"no other line teaches",
		 "[General]\nUrl=https://" EXPECTED_SERVICE_HOST "/brivora/g/?widgetToken=G\n[BasicWindow]\nX=" +
			 host_live + "\n[Other]\nExtraBrowserDocks=[" + host_live + "]\n",
		 "", "dravelo"},
		{"an unreadable list teaches nothing", ini("ExtraBrowserDocks=[" + host_live + ",]\n"), "", "dravelo"},
		{"only the host's list, entries in list order",
		 ini("ExtraBrowserDocks=[" + own + "]\n[BasicWindow]\nExtraBrowserDocks=[" +
		     R"({"url": "https://)" EXPECTED_SERVICE_HOST R"(/brivora/first/", "uuid": "u"}, )" +
		     R"({"url": "https://)" EXPECTED_SERVICE_HOST
		     R"(/brivora/second/?token=late\u0026x=1", "uuid": "u"})" +
		     "]\n"),
		 "late", "first"},
		{"a foreign url cut by the host at its NUL",
		 ini(R"(ExtraBrowserDocks=[{"url": "https://other.example/?widgetToken=FOREIGN\\u0000/brivora/x/"}])"
		     "\n"),
		 "", "dravelo"},
		{"a foreign url pointing at the service",
		 ini(R"(ExtraBrowserDocks=[{"url": "https://other.example/go?to=https://)" EXPECTED_SERVICE_HOST
		     R"(/brivora/x/&widgetToken=FOREIGN"}])"
		     "\n"),
		 "", "dravelo"},
	};
	module_docks_seen seen;
	for (const row &r : rows) {
		service_context context;
		absorb_user_ini_docks(context, r.content, seen = {});
		EXPECT_EQ(context.widget_token, r.token) << r.name;
		EXPECT_EQ(context.streamer_slug, r.slug) << r.name;
	}

	// The repair puts the user's docks first; the next start still learns
	// the service's token, not the foreign dock's.
	service_context first_start;
	const std::string before = rows[0].content;
	absorb_user_ini_docks(first_start, before, seen = {});
	const auto line = docks_value_repair(before, first_start.dock_entries());
	ASSERT_TRUE(line);
	ASSERT_TRUE(line->starts_with("[" + foreign));
	service_context next_start;
	absorb_user_ini_docks(next_start, rewrite_user_ini(before, *line), seen = {});
	EXPECT_STREQ(next_start.widget_token, first_start.widget_token);
	EXPECT_STREQ(next_start.streamer_slug, "s");
}

} // namespace
