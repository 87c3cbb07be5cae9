// SPDX-License-Identifier: GPL-2.0-or-later
// Token and slug extraction, the service context built from them, and the
// dock list written to user.ini.

#include "context/service-context.h"
#include "user-ini/dock-line.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace {

const std::string base = "https://" EXPECTED_SERVICE_HOST "/brivora";

std::string repeat(std::string_view piece, int times)
{
	std::string out;
	while (times-- > 0)
		out += piece;
	return out;
}

std::string token_from(const std::string &text, const char *key, const char *before = "")
{
	char dst[256];
	std::snprintf(dst, sizeof(dst), "%s", before);
	extract_query_value(dst, sizeof(dst), text.c_str(), key);
	return dst;
}

std::string slug_from(const std::string &text, const char *before = "keep")
{
	char dst[96];
	std::snprintf(dst, sizeof(dst), "%s", before);
	extract_slug(dst, sizeof(dst), text.c_str());
	return dst;
}

TEST(Extraction, EveryByteEitherEndsTheValueOrIsCopied)
{
	for (int c = 1; c < 256; ++c) {
		const std::string b(1, static_cast<char>(c));
		const bool control = c < 0x20 || c == 0x7f;
		const bool ends_token = control || std::string_view("&\"#',\\]}").find(b) != std::string_view::npos;
		EXPECT_EQ(token_from("x?k=ab" + b + "cd", "k"), ends_token ? "ab" : "ab" + b + "cd") << "byte " << c;
		const bool ends_slug = control || std::string_view("/?#").find(b) != std::string_view::npos;
		EXPECT_EQ(slug_from("https://" EXPECTED_SERVICE_HOST "/brivora/ab" + b + "cd/x"),
			  ends_slug ? "ab" : "ab" + b + "cd")
			<< "byte " << c;
	}
}

TEST(Extraction, TokenCases)
{
	struct row {
		std::string text, key, before, want;
	} rows[] = {
		{"a?widgetToken=abc&b=1", "widgetToken", "", "abc"},
		{"a?WidgetToken=abc", "widgetToken", "", ""},    // case-sensitive
		{"a?widgetToken=abc", "widgettoken", "", ""},    // case-sensitive
		{"a?mytoken=abc", "token", "", "abc"},           // plain substring match
		{"token=one&token=two", "token", "", "one"},     // first match
		{"token=&token=two", "token", "", ""},           // empty value
		{"a?token=", "token", "", ""},                   // value at the end
		{"a?other=1", "token", "", ""},                  // no key
		{"token=new", "token", "old", "old"},            // filled once
		{"token abc token=x y=z", "token", "", "x y=z"}, // '=' required, spaces copied
		{"token=" + std::string(300, 't'), "token", "", std::string(255, 't')},
		// Cut at the capacity: a character that does not fit whole is left
		// out; bytes that are no UTF-8 stay as they are.
		{"token=" + std::string(254, 't') + "\xc3\xa9", "token", "", std::string(254, 't')},
		{"token=" + std::string(253, 't') + "\xe2\x82\xac", "token", "", std::string(253, 't')},
		{"token=" + std::string(253, 't') + "\xc3\xa9", "token", "", std::string(253, 't') + "\xc3\xa9"},
		{"token=" + std::string(254, 't') + "\xc3t", "token", "", std::string(254, 't') + "\xc3"},
		{"token=" + std::string(254, 't') + "\xe9\xe9", "token", "", std::string(254, 't') + "\xe9"},
	};
	for (const row &r : rows)
		EXPECT_EQ(token_from(r.text, r.key.c_str(), r.before.c_str()), r.want) << r.text;
	// No room at all: nothing is read or written.
	extract_query_value(nullptr, 0, "token=x", "token");
	extract_slug(nullptr, 0, "/brivora/x");
}

TEST(Extraction, SlugCases)
{
	struct row {
		std::string text, before, want;
	} rows[] = {
		{"https://" EXPECTED_SERVICE_HOST "/brivora/alice/widgets", "keep", "alice"},
		{"https://" EXPECTED_SERVICE_HOST "/brivora/alice", "keep", "alice"},
		{"https://" EXPECTED_SERVICE_HOST "/Brivora/alice/", "keep", "keep"}, // case-sensitive marker
		{"https://" EXPECTED_SERVICE_HOST "/brivoraalice/", "keep", "keep"},
		{"https://" EXPECTED_SERVICE_HOST "/brivora//widgets", "keep", "keep"}, // empty segment: nothing
		{"https://" EXPECTED_SERVICE_HOST "/brivora/", "keep", "keep"},
		{"https://" EXPECTED_SERVICE_HOST "/brivora/alice?widgetToken=T", "keep", "alice"},
		{"/brivora/a/brivora/b/", "keep", "a"},
		{"/brivora/old", "new", "old"}, // replaced whatever it held
		{"/brivora/alice#x/y", "keep", "alice"},
		{"/brivora/" + std::string(120, 's') + "/", "keep", std::string(95, 's')},
		{"/brivora/" + std::string(120, 's') + "?q", "keep", std::string(95, 's')},
		{"/brivora/" + repeat("\xc3\xa9", 48), "keep", repeat("\xc3\xa9", 47)},
		{"/brivora/s" + repeat("\xf0\x9f\x98\x80", 24), "keep", "s" + repeat("\xf0\x9f\x98\x80", 23)},
		{"/brivora/" + repeat("\xf0\x9f\x98\x80", 24), "keep", repeat("\xf0\x9f\x98\x80", 23)},
	};
	for (const row &r : rows)
		EXPECT_EQ(slug_from(r.text, r.before.c_str()), r.want) << r.text;
}

class ServiceContext : public ::testing::Test {
protected:
	service_context context;

	std::string signature() const
	{
		char url[service_url_size];
		context.signature_url(url, sizeof(url));
		return url;
	}
	std::string docks_line() const { return "ExtraBrowserDocks=[" + context.dock_entries() + "]"; }
};

TEST_F(ServiceContext, TokenKeysInOrderOfPreference)
{
	struct row {
		std::string text, want, slug;
	} rows[] = {
		{"/brivora/a?token=t&widgettoken=w&widgetToken=W", "W", "a"},
		{"/brivora/?token=t&widgettoken=w", "w", "dravelo"},
		{"/brivora/a/?token=t", "t", "a"},
		{"/brivora/a/?widgetToken=&token=abc", "abc", "a"},
		{"/brivora/a/?widgetToken=abc\r\n", "abc", "a"},
		{"/brivora/a/?widgetToken=" + std::string(300, 'k'), std::string(255, 'k'), "a"},
		{"/brivora/a/?Token=t&WIDGETTOKEN=u", "", "a"},
		{"/brivora/a/?widgetToken", "", "a"},
	};
	for (const row &r : rows) {
		context = service_context{};
		context.absorb_service_url(r.text.c_str());
		EXPECT_EQ(context.widget_token, r.want) << r.text;
		EXPECT_EQ(context.streamer_slug, r.slug) << r.text;
	}
}

// A URL is the service's by where it points: the service's base URL and a
// slash. Another site's secret stays there, "/brivora/" or not.
TEST_F(ServiceContext, OnlyTheServicesUrlsTeach)
{
	const std::string base = "https://" EXPECTED_SERVICE_HOST;
	struct row {
		std::string url;
		bool teaches;
	} rows[] = {
		{base + "/brivora/a/?widgetToken=T", true},
		{base + "/brivora/?widgetToken=T", true},
		{"https://chat.other.example/embed?token=T", false},
		{"https://other.example/go?to=" + base + "/brivora/x/&widgetToken=T", false},
		{"https://other.example/brivora/x/?widgetToken=T", false},
		{base + "/Brivora/b/?widgetToken=T", false},
		{base + "/brivorax/?widgetToken=T", false},
		{base + "/brivora", false},
		{"https://" EXPECTED_SERVICE_HOST ".other.example/brivora/x/?widgetToken=T", false},
		{"http://" EXPECTED_SERVICE_HOST "/brivora/x/?widgetToken=T", false},
		{"Overlay=" + base + "/brivora/b/?widgetToken=T", false},
	};
	for (const row &r : rows) {
		context = service_context{};
		context.absorb_url(r.url.c_str());
		EXPECT_EQ(is_service_url(r.url), r.teaches) << r.url;
		EXPECT_EQ(std::string(context.widget_token), r.teaches ? "T" : "") << r.url;
	}
}

TEST_F(ServiceContext, LearntValuesAreKept)
{
	EXPECT_EQ(signature(), base + "/dravelo/widgets/signature/");
	context.absorb_url("https://" EXPECTED_SERVICE_HOST "/brivora/dravelo/?widgetToken=first");
	EXPECT_FALSE(context.complete());
	context.absorb_url("https://" EXPECTED_SERVICE_HOST "/brivora/alice/?widgetToken=second");
	context.absorb_url("https://" EXPECTED_SERVICE_HOST "/brivora/bob/");
	EXPECT_STREQ(context.widget_token, "first");
	EXPECT_STREQ(context.streamer_slug, "alice");
	EXPECT_TRUE(context.complete());
	EXPECT_EQ(signature(), base + "/alice/widgets/signature/?widgetToken=first");

	// What the module wrote itself gives way to the streamer's entries,
	// token and slug each on its own; otherwise the first value stays.
	const auto own = url_origin::module_output, streamer = url_origin::streamer;
	for (auto [first, second, want] :
	     {std::tuple{own, streamer, "new NEW"}, {streamer, own, "old OLD"}, {own, own, "old NEW"}}) {
		context = service_context{};
		context.absorb_url((base + "/old/?widgetToken=OLD").c_str(), first);
		context.absorb_url((base + "/new/widgets/").c_str(), second);
		context.absorb_url((base + "//?widgetToken=NEW").c_str(), streamer);
		EXPECT_EQ(std::string(context.streamer_slug) + " " + context.widget_token, want);
	}
}

TEST_F(ServiceContext, ExactDocksLine)
{
	context.absorb_url("https://" EXPECTED_SERVICE_HOST "/brivora/alice/widgets/?widgetToken=abc123");
	const std::string tail = "?dock=1&pluginVersion=" EXPECTED_VERSION "&widgetToken=abc123";
	EXPECT_EQ(docks_line(), "ExtraBrowserDocks=[{\"title\":\"Brivora Dock Live\",\"url\":\"" + base +
					"/alice/live-dock/" + tail +
					"\",\"uuid\":\"brivora_live_dock\"},{\"title\":\"Brivora Chat\",\"url\":\"" +
					base + "/alice/chat/" + tail + "\",\"uuid\":\"brivora_chat_dock\"}]");
}

TEST_F(ServiceContext, QuotesAndBackslashesInSlugKeepDocksJsonValid)
{
	struct row {
		std::string slug, encoded;
	} rows[] = {
		{"a\"b", "a%22b"},
		{"a\\b", "a%5Cb"},
		{"\"\\x\\\"", "%22%5Cx%5C%22"},
		{std::string(95, '"'), repeat("%22", 95)}, // the longest slug, with the longest token
	};
	const std::string token(255, 'T');
	for (const row &r : rows) {
		context = service_context{};
		context.absorb_url(
			("https://" EXPECTED_SERVICE_HOST "/brivora/" + r.slug + "/?widgetToken=" + token).c_str());
		ASSERT_EQ(context.streamer_slug, r.slug);
		const std::string tail = "?dock=1&pluginVersion=" EXPECTED_VERSION "&widgetToken=" + token;
		const std::string line = docks_line();
		ASSERT_TRUE(line.starts_with("ExtraBrowserDocks="));
		std::vector<std::string> strings;
		ASSERT_TRUE(read_dock_list(std::string_view(line).substr(18), [&](const dock_list_element &e) {
			for (const auto &member : {e.title, e.url, e.uuid})
				strings.push_back(member.value_or("<none>"));
		})) << line;
		const std::vector<std::string> want = {
			"Brivora Dock Live", base + "/" + r.encoded + "/live-dock/" + tail, "brivora_live_dock",
			"Brivora Chat",      base + "/" + r.encoded + "/chat/" + tail,      "brivora_chat_dock"};
		EXPECT_EQ(strings, want);
	}
}

} // namespace
