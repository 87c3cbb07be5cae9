// SPDX-License-Identifier: GPL-2.0-or-later
// The dock list read by meaning: the strict JSON reader, and when the docks
// line of user.ini is in order or what the repair writes instead.

#include "dock-list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::literals;

std::vector<std::string> texts(const std::vector<dock_list_element> &list)
{
	std::vector<std::string> out;
	for (const auto &element : list)
		out.emplace_back(element.text);
	return out;
}

TEST(DockList, ReadsStrictJsonAsTheHostStoresIt)
{
	struct row {
		std::string stored;
		std::vector<std::string> elements; // the element texts when it parses
		bool parses = true;
	} rows[] = {
		{"[]", {}},
		{" [ ] ", {}},
		{"[{\"title\": \"Notes\", \"url\": \"u\"} , 1,\"s\",[2, {\"a\": null}],true,-0.5e+3, 0, false]",
		 {"{\"title\": \"Notes\", \"url\": \"u\"}", "1", "\"s\"", "[2, {\"a\": null}]", "true", "-0.5e+3", "0",
		  "false"}},
		// The host's INI layer stores '\' as "\\" and line ends as \n, \r.
		{"[{\"title\": \"a\\\\\"b\"},\\n\"c\\\\\\\\d\"]", {"{\"title\": \"a\\\\\"b\"}", "\"c\\\\\\\\d\""}},
		{"{}", {}, false},
		{"[1,]", {}, false},
		{"[,1]", {}, false},
		{"[1 2]", {}, false},
		{"[01]", {}, false},
		{"[1.]", {}, false},
		{"[.5]", {}, false},
		{"[-]", {}, false},
		{"[1e]", {}, false},
		{"[tru]", {}, false},
		{"[\"a\x01\"]", {}, false},            // control character in a string
		{"[\"\\\\x\"]", {}, false},            // unknown escape
		{"[\"\\\\u12G4\"]", {}, false},        // bad hex
		{"[\"\xc0\xaf\"]", {}, false},         // overlong
		{"[\"\xed\xa0\x80\"]", {}, false},     // an encoded surrogate
		{"[\"\xf4\x90\x80\x80\"]", {}, false}, // beyond U+10FFFF
		{"[\"\xe9\"]", {}, false},             // cut short
		{"[] x", {}, false},
		{"[\"a\"", {}, false},
		{"[{\"a\" 1}]", {}, false},
		{"[{\"a\":1,}]", {}, false},
		{"[{1:2}]", {}, false},
		{"", {}, false},
	};
	for (const row &r : rows) {
		const auto list = parse_dock_list(r.stored);
		ASSERT_EQ(list.has_value(), r.parses) << r.stored;
		if (list) {
			EXPECT_EQ(texts(*list), r.elements) << r.stored;
		}
	}

	// Depth: the top array counts as one level.
	const size_t cap = max_dock_list_depth;
	EXPECT_TRUE(parse_dock_list(std::string(cap, '[') + std::string(cap, ']')));
	EXPECT_FALSE(parse_dock_list(std::string(cap + 1, '[') + std::string(cap + 1, ']')));
	EXPECT_TRUE(parse_dock_list("[{\"a\":" + std::string(cap - 2, '[') + std::string(cap - 2, ']') + "}]"));
	EXPECT_FALSE(parse_dock_list("[{\"a\":" + std::string(cap - 1, '[') + std::string(cap - 1, ']') + "}]"));
	EXPECT_FALSE(parse_dock_list(std::string(1000000, '[')));
}

TEST(DockList, DecodesTheThreeMembersOfObjects)
{
	const auto list =
		parse_dock_list("[{\"t\\\\u0069tle\": \"\\\\u00e9\\\\ud83d\\\\ude00\\\\ud800\", \"url\": 5, "
				"\"uuid\": \"x\", \"uuid\": \"brivora_y\", \"more\": {\"url\": \"n\"}}, [\"url\"]]");
	ASSERT_TRUE(list);
	ASSERT_EQ(list->size(), 2u);
	const dock_list_element &object = (*list)[0];
	EXPECT_TRUE(object.is_object);
	EXPECT_EQ(object.title, "\xc3\xa9\xf0\x9f\x98\x80\xef\xbf\xbd"); // a lone surrogate stands for U+FFFD
	EXPECT_EQ(object.url, std::nullopt);
	EXPECT_EQ(object.uuid, "brivora_y");
	EXPECT_TRUE(is_service_entry(object));
	EXPECT_FALSE((*list)[1].is_object);
	EXPECT_FALSE(is_service_entry((*list)[1]));
}

// The service's docks in the module's form, and in the host's (a space after
// each ',' and ':').
const std::string live =
	R"({"title":"Brivora Dock Live","url":"https://h/brivora/s/live-dock/?t=1","uuid":"brivora_live_dock"})";
const std::string chat = R"({"title":"Brivora Chat","url":"https://h/brivora/s/chat/?t=1","uuid":"brivora_chat_dock"})";
const std::string service = live + "," + chat;
const std::string host_live =
	R"({"title": "Brivora Dock Live", "url": "https://h/brivora/s/live-dock/?t=1", "uuid": "brivora_live_dock"})";
const std::string host_chat =
	R"({"title": "Brivora Chat", "url": "https://h/brivora/s/chat/?t=1", "uuid": "brivora_chat_dock"})";
const std::string stale_live =
	R"({"title": "Brivora Dock Live", "url": "https://h/brivora/s/live-dock/?t=0", "uuid": "brivora_live_dock"})";
// The user's own docks, as the host stores them ('\' doubled by its INI layer).
const std::string notes = R"({"title": "My \\"notes\\"", "url": "https://notes.example/?a=1&b=2", "uuid": "6f1c"})";
const std::string chat_popout = R"({"title":"Popout","url":"https://chat.other.example/embed?token=x","uuid":"9a2e"})";

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
		 "ExtraBrowserDocks=[" + notes + "," + chat_popout + "," + service + "]"},
		{"a third service entry",
		 ini("ExtraBrowserDocks=[" + host_live + ", " + host_chat + ", " +
		     R"({"title": "Old", "url": "x", "uuid": "brivora_old"})" + "]\n"),
		 "ExtraBrowserDocks=[" + service + "]"},
		{"one service dock only", ini("ExtraBrowserDocks=[" + notes + ", " + host_live + "]\n"),
		 "ExtraBrowserDocks=[" + notes + "," + service + "]"},
		{"two docks lines, the first one counts",
		 ini("ExtraBrowserDocks=[" + notes + "," + service + "]\nExtraBrowserDocks=[" + service + "]\n"),
		 "ExtraBrowserDocks=[" + notes + "," + service + "]"},
		{"a copy in another section does not count",
		 "[Other]\nExtraBrowserDocks=[" + service + "]\nX=ExtraBrowserDocks=[" + service + "]\n[BasicWindow]\n",
		 "ExtraBrowserDocks=[" + service + "]"},
		{"no dock line", ini(""), "ExtraBrowserDocks=[" + service + "]"},
		{"not JSON keeps nothing", ini("ExtraBrowserDocks=[" + notes + ", {\"title\":\n"),
		 "ExtraBrowserDocks=[" + service + "]"},
		{"not an array keeps nothing", ini("ExtraBrowserDocks=" + notes + "\n"),
		 "ExtraBrowserDocks=[" + service + "]"},
	};
	for (const row &r : rows) {
		const auto line = docks_line_repair(r.content, service);
		EXPECT_EQ(line.value_or(""), r.want) << r.name;
	}
}

TEST(DocksLine, OwnLineThatCannotParseIsNotRewrittenAgain)
{
	// A cut slug can end inside a UTF-8 sequence: the service entries are
	// then no JSON, and only the exact line stops the repair.
	const std::string bad = R"({"title":"Brivora Dock Live","url":"https://h/brivora/)"
				"\xc3"
				R"(/live-dock/","uuid":"brivora_live_dock"})";
	const std::string line = "ExtraBrowserDocks=[" + bad + "]";
	EXPECT_EQ(docks_line_repair(ini(line + "\n"), bad), std::nullopt);
	EXPECT_EQ(docks_line_repair(ini("ExtraBrowserDocks=[" + notes + "]\n"), bad),
		  "ExtraBrowserDocks=[" + notes + "," + bad + "]");
}

} // namespace
