// SPDX-License-Identifier: GPL-2.0-or-later
// Token and slug extraction, the service context built from them, and the
// dock list written to user.ini.

#include "context-extraction.h"
#include "dock-config.h"
#include "service-context.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
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
		const bool ends_slug = control || c == '/';
		EXPECT_EQ(slug_from("https://h/brivora/ab" + b + "cd/x"), ends_slug ? "ab" : "ab" + b + "cd") << "byte " << c;
	}
}

TEST(Extraction, TokenCases)
{
	struct row {
		std::string text, key, before, want;
	} rows[] = {
		{"a?widgetToken=abc&b=1", "widgetToken", "", "abc"},
		{"a?WidgetToken=abc", "widgetToken", "", ""},     // case-sensitive
		{"a?widgetToken=abc", "widgettoken", "", ""},     // case-sensitive
		{"a?mytoken=abc", "token", "", "abc"},            // plain substring match
		{"token=one&token=two", "token", "", "one"},      // first match
		{"token=&token=two", "token", "", ""},            // empty value
		{"a?token=", "token", "", ""},                    // value at the end
		{"a?other=1", "token", "", ""},                   // no key
		{"token=new", "token", "old", "old"},             // filled once
		{"token abc token=x y=z", "token", "", "x y=z"}, // '=' required, spaces copied
		{"token=" + std::string(300, 't'), "token", "", std::string(255, 't')},
	};
	for (const row &r : rows)
		EXPECT_EQ(token_from(r.text, r.key.c_str(), r.before.c_str()), r.want) << r.text;
}

TEST(Extraction, SlugCases)
{
	struct row {
		std::string text, before, want;
	} rows[] = {
		{"https://h/brivora/alice/widgets", "keep", "alice"},
		{"https://h/brivora/alice", "keep", "alice"},
		{"https://h/Brivora/alice/", "keep", "keep"}, // case-sensitive marker
		{"https://h/brivoraalice/", "keep", "keep"},
		{"https://h/brivora//widgets", "keep", ""}, // empty segment replaces
		{"/brivora/a/brivora/b/", "keep", "a"},
		{"/brivora/old", "new", "old"}, // replaced whatever it held
		{"/brivora/alice?x=1&y=2", "keep", "alice?x=1&y=2"},
		{"/brivora/" + std::string(120, 's') + "/", "keep", std::string(95, 's')},
		{"/brivora/" + std::string(120, 's') + "?q", "keep", std::string(95, 's')},
	};
	for (const row &r : rows)
		EXPECT_EQ(slug_from(r.text, r.before.c_str()), r.want) << r.text;
}

class ServiceContext : public ::testing::Test {
protected:
	void SetUp() override { reset_service_context(); }
	void TearDown() override { reset_service_context(); }

	static std::string signature()
	{
		char url[service_url_size];
		signature_url(url, sizeof(url));
		return url;
	}
	static std::string docks_line() { return "ExtraBrowserDocks=[" + service_dock_entries() + "]"; }
};

TEST_F(ServiceContext, TokenKeysInOrderOfPreference)
{
	struct row {
		std::string text, want, slug;
		bool has_key;
	} rows[] = {
		{"/brivora/a?token=t&widgettoken=w&widgetToken=W", "W", "a?token=t&widgettoken=w&widgetToken=W", true},
		{"/brivora/?token=t&widgettoken=w", "w", "?token=t&widgettoken=w", true},
		{"/brivora/a/?token=t", "t", "a", true},
		{"/brivora/a/?widgetToken=&token=abc", "abc", "a", true},
		{"BrowserUrl=https://h/brivora/a/?widgetToken=abc\r\n", "abc", "a", true},
		{"/brivora/a/?widgetToken=" + std::string(300, 'k'), std::string(255, 'k'), "a", true},
		{"/brivora/a/?Token=t&WIDGETTOKEN=u", "", "a", false},
		{"/brivora/a/?widgetToken", "", "a", false},
		// Only the service's own URLs teach: another service's secret stays there.
		{"https://chat.other.example/embed?token=SECRET", "", "dravelo", true},
		{"Overlay=https://h/Brivora/b/?widgetToken=SECRET", "", "dravelo", true},
	};
	for (const row &r : rows) {
		reset_service_context();
		absorb_url_context(r.text.c_str());
		EXPECT_EQ(widget_token, r.want) << r.text;
		EXPECT_EQ(streamer_slug, r.slug) << r.text;
		EXPECT_EQ(contains_token_key(r.text.c_str()), r.has_key) << r.text;
	}
}

TEST_F(ServiceContext, LearntValuesAreKept)
{
	EXPECT_EQ(service_base_url, base);
	EXPECT_EQ(signature(), base + "/dravelo/widgets/signature/");
	absorb_url_context("https://h/brivora/dravelo/?widgetToken=first");
	EXPECT_FALSE(service_context_complete());
	absorb_url_context("https://h/brivora/alice/?widgetToken=second");
	absorb_url_context("https://h/brivora/bob/");
	EXPECT_STREQ(widget_token, "first");
	EXPECT_STREQ(streamer_slug, "alice");
	EXPECT_TRUE(service_context_complete());
	EXPECT_EQ(signature(), base + "/alice/widgets/signature/?widgetToken=first");

	reset_service_context();
	absorb_url_context("https://h/brivora//widgets");
	absorb_url_context("https://h/brivora/bob/");
	EXPECT_STREQ(streamer_slug, "");
	EXPECT_FALSE(service_context_complete()); // no token yet
	EXPECT_EQ(signature(), base + "//widgets/signature/");
}

TEST_F(ServiceContext, ExactDocksLine)
{
	absorb_url_context("https://h/brivora/alice/widgets/?widgetToken=abc123");
	const std::string tail = "?dock=1&pluginVersion=" EXPECTED_VERSION "&widgetToken=abc123";
	EXPECT_EQ(docks_line(), "ExtraBrowserDocks=[{\"title\":\"Brivora Dock Live\",\"url\":\"" + base +
					"/alice/live-dock/" + tail +
					"\",\"uuid\":\"brivora_live_dock\"},{\"title\":\"Brivora Chat\",\"url\":\"" +
					base + "/alice/chat/" + tail + "\",\"uuid\":\"brivora_chat_dock\"}]");
}

// The decoded strings of a one-line JSON text made of arrays, objects and
// strings (all the dock list holds); nullopt when a string is broken: a raw
// control byte, an unknown escape, or no closing quote.
std::optional<std::vector<std::string>> json_strings(std::string_view s)
{
	std::vector<std::string> strings;
	for (size_t i = 0; i < s.size(); ++i) {
		if (std::string_view("[]{}:,").find(s[i]) != std::string_view::npos)
			continue;
		if (s[i] != '"')
			return std::nullopt;
		std::string v;
		for (++i; i < s.size() && s[i] != '"'; ++i) {
			if (static_cast<unsigned char>(s[i]) < 0x20)
				return std::nullopt;
			if (s[i] == '\\') {
				if (++i == s.size() || std::string_view("\"\\/bfnrt").find(s[i]) == std::string_view::npos)
					return std::nullopt; // \u is never written
			}
			v += s[i];
		}
		if (i == s.size())
			return std::nullopt;
		strings.push_back(v);
	}
	return strings;
}

TEST(JsonStrings, RejectBrokenStrings)
{
	for (const char *bad : {"[\"a\"b\"]", "[\"a\\c\"]", "[\"a\nb\"]", "[\"a]", "[x]"})
		EXPECT_FALSE(json_strings(bad)) << bad;
	EXPECT_EQ(json_strings("[{\"a\":\"b\\\"c\\\\\"}]"), (std::vector<std::string>{"a", "b\"c\\"}));
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
		reset_service_context();
		absorb_url_context(("https://h/brivora/" + r.slug + "/?widgetToken=" + token).c_str());
		ASSERT_EQ(streamer_slug, r.slug);
		const std::string tail = "?dock=1&pluginVersion=" EXPECTED_VERSION "&widgetToken=" + token;
		const std::string line = docks_line();
		ASSERT_TRUE(line.starts_with("ExtraBrowserDocks="));
		const auto strings = json_strings(std::string_view(line).substr(18));
		ASSERT_TRUE(strings) << line;
		const std::vector<std::string> want = {
			"title", "Brivora Dock Live", "url", base + "/" + r.encoded + "/live-dock/" + tail,
			"uuid",  "brivora_live_dock", "title", "Brivora Chat",
			"url",   base + "/" + r.encoded + "/chat/" + tail, "uuid", "brivora_chat_dock"};
		EXPECT_EQ(*strings, want);
	}
}

} // namespace
