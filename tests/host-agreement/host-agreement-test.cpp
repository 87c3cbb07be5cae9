// SPDX-License-Identifier: GPL-2.0-or-later
// The module's reading and repair of user.ini against the host's own readers
// (libobs's INI reader, json11 from the host's sources), on generated user.ini
// files: realistic ones as OBS 31/32 writes them, and the same with
// hand-edit-like mutations. BRIVORA_AGREEMENT_FILES and BRIVORA_AGREEMENT_SEED
// change how many and which.

#include "context/service-context.h"
#include "user-ini/dock-line.h"
#include "user-ini/host-ini.h"

#include <gtest/gtest.h>
#include <json11.hpp>
#include <util/config-file.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>
#include <unistd.h>

namespace {

using namespace std::literals;

const std::string service_base = "https://" EXPECTED_SERVICE_HOST "/brivora/";

struct dock {
	std::string title, url, uuid;
	bool operator==(const dock &) const = default;
	auto operator<=>(const dock &) const = default;
};

bool is_service_dock(const dock &d)
{
	return d.url.starts_with(service_base) || d.uuid.starts_with("brivora_");
}

std::vector<dock> only(const std::vector<dock> &docks, bool service)
{
	std::vector<dock> out;
	std::copy_if(docks.begin(), docks.end(), std::back_inserter(out),
		     [&](const dock &d) { return is_service_dock(d) == service; });
	return out;
}

// The dock list as the host builds its docks from it: json11, then each
// element's three members passed on as C strings.
std::vector<dock> host_docks_of(const char *value)
{
	std::string error;
	const json11::Json json = json11::Json::parse(value, error);
	std::vector<dock> docks;
	if (!error.empty())
		return docks;
	for (const json11::Json &item : json.array_items())
		docks.push_back({item["title"].string_value().c_str(), item["url"].string_value().c_str(),
				 item["uuid"].string_value().c_str()});
	return docks;
}

// A user.ini as the host reads it, through libobs from a file like user.ini.
class host_view {
public:
	explicit host_view(const std::string &content)
	{
		static const std::string path =
			::testing::TempDir() + "user-ini-agreement-" + std::to_string(getpid()) + ".ini";
		std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
		if (config_open(&config_, path.c_str(), CONFIG_OPEN_EXISTING) != CONFIG_SUCCESS)
			config_ = nullptr;
	}
	~host_view() { config_close(config_); }
	host_view(const host_view &) = delete;
	host_view &operator=(const host_view &) = delete;

	std::vector<std::string> sections() const
	{
		std::vector<std::string> names;
		for (size_t i = 0; i < config_num_sections(config_); ++i)
			names.emplace_back(config_get_section(config_, i));
		return names;
	}
	const char *get(const std::string &section, const std::string &key) const
	{
		return config_get_string(config_, section.c_str(), key.c_str());
	}
	std::vector<dock> docks() const { return host_docks_of(get("BasicWindow", "ExtraBrowserDocks")); }

private:
	config_t *config_ = nullptr;
};

// Every key the host could read: from each place a line can start (the text
// start, after whitespace or a header's ']') to the next '=', or to the end.
std::set<std::string> candidate_keys(const std::string &content)
{
	std::set<std::string> keys;
	const size_t end = std::min(content.find('\0'), content.size());
	for (size_t p = 0; p < end; ++p) {
		const bool starts = p == 0 || (p == 3 && content.starts_with(utf8_bom)) ||
				    " \t\r\n]"sv.find(content[p - 1]) != std::string_view::npos;
		if (!starts || " \t\r\n"sv.find(content[p]) != std::string_view::npos)
			continue;
		size_t e = p + 1;
		while (e < end && content[e] != '=' && !is_ini_line_end(content[e]))
			++e;
		if (e == end || content[e] == '=')
			keys.insert(content.substr(p, e - p));
	}
	return keys;
}

// The module's reading of the same content.
struct module_view {
	ini_document document;
	std::vector<std::string> sections;
	std::vector<dock> docks;

	explicit module_view(const std::string &content) : document(read_host_ini(content))
	{
		for (const ini_section &section : document.sections)
			sections.emplace_back(section.name);
		const ini_section *basic = document.find(basic_window_section);
		const ini_item *item = basic ? basic->find(docks_key) : nullptr;
		if (!item)
			return;
		const auto as_string = [](const std::optional<std::string> &member) {
			return member.value_or("");
		};
		if (!read_dock_list(std::string_view(content).substr(item->value_start,
								     item->value_end - item->value_start),
				    [&](const dock_list_element &e) {
					    docks.push_back({as_string(e.title), as_string(e.url), as_string(e.uuid)});
				    }))
			docks.clear();
	}
};

// Generated user.ini files.
class generator {
public:
	explicit generator(unsigned seed) : rng_(seed) {}

	int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
	bool chance(int percent) { return pick(100) < percent; }
	template<typename T, size_t N> const T &one_of(const T (&items)[N]) { return items[pick(N)]; }

	// A user.ini, with the number of mutations it got.
	std::string file(int &mutations)
	{
		std::vector<std::string> lines = realistic_lines();
		mutations = chance(20) ? 0 : 1 + pick(3);
		std::vector<int> byte_mutations;
		for (int i = 0; i < mutations; ++i) {
			const int kind = pick(20);
			if (kind < 14)
				mutate_lines(lines, kind);
			else
				byte_mutations.push_back(kind);
		}
		static const char *const ends[] = {"\n", "\n", "\n", "\r\n", "\r", "\n\r"};
		const std::string eol = one_of(ends);
		const bool mixed = std::find(byte_mutations.begin(), byte_mutations.end(), 14) != byte_mutations.end();
		std::string text;
		for (const std::string &line : lines)
			text.append(line).append(mixed ? one_of(ends) : eol);
		for (int kind : byte_mutations)
			mutate_bytes(text, kind);
		return text;
	}

	std::string token(const char *kind) { return kind + std::to_string(++serial_); }

	// The dock list value as the host stores it: json11's text, '\' doubled.
	std::string docks_value()
	{
		std::string json = "[";
		const int count = pick(6);
		const char *separator = chance(70) ? ", " : ",";
		for (int i = 0; i < count; ++i)
			json.append(i ? separator : "").append(element());
		json += chance(3) ? "," : "]"; // now and then unreadable
		std::string stored;
		for (char c : json)
			stored.append(c == '\\' ? "\\\\" : std::string(1, c));
		return stored;
	}

private:
	std::string json_string(std::string_view text)
	{
		std::string out = "\"";
		for (char c : text) {
			const auto byte = static_cast<unsigned char>(c);
			char escaped[8];
			if (c == '"' || c == '\\') {
				out.append({'\\', c});
			} else if (byte < 0x20 || (byte < 0x7f && chance(2))) {
				std::snprintf(escaped, sizeof(escaped), "\\u%04x", byte);
				out.append(escaped);
			} else if (c == '/' && chance(5)) {
				out.append("\\/");
			} else {
				out += c;
			}
		}
		return out + "\"";
	}

	std::string odd_value()
	{
		// Space-separated, so that the list stays a few lines.
		static const std::string values =
			"-0.5e+3 0 1E400 -0 null true [] {} \"\\ud83c\\udfff\" "
			"\"\\udbff\\udfff\" \"\\udc00\\udc00\" \"\\u00e9\" \"caf\xe9\" \"\xf0\x9f\x8e";
		size_t start = 0;
		for (int skip = pick(14); skip > 0; --skip)
			start = values.find(' ', start) + 1;
		const std::string value = values.substr(start, values.find(' ', start) - start);
		if (chance(10)) {
			const int depth = 190 + pick(15);
			return std::string(depth, '[') + value + std::string(depth, ']');
		}
		return value;
	}

	std::string object(const std::string &title, const std::string &url, const std::string &uuid)
	{
		std::vector<std::string> members = {"\"title\": " + json_string(title), "\"url\": " + json_string(url),
						    "\"uuid\": " + json_string(uuid)};
		if (chance(10))
			members.push_back("\"extra\": " + odd_value());
		if (chance(5))
			members.push_back("\"url\": " + json_string(url + "#again"));
		if (chance(10))
			std::shuffle(members.begin(), members.end(), rng_);
		std::string out = "{";
		for (size_t i = 0; i < members.size(); ++i)
			out.append(i ? ", " : "").append(members[i]);
		return out + "}";
	}

	std::string element()
	{
		const std::string slug = one_of({"s"s, "jane"s, "\xc3\xa9t\xc3\xa9"s, "a%22b"s});
		switch (pick(11)) {
		case 0:
			return odd_value();
		case 1:
			return object("Brivora Dock Live",
				      service_base + slug +
					      "/live-dock/?dock=1&pluginVersion=1.2.0&widgetToken=" + token("S"),
				      "brivora_live_dock");
		case 2:
			return object("Brivora Chat", service_base + slug + "/chat/?dock=1&widgetToken=" + token("S"),
				      "brivora_chat_dock");
		case 3: // the older login dock lives on another host
			return object("Brivora Login", "https://login.brivora.example/obs?token=" + token("L"),
				      "brivora_login_dock");
		case 4: // another site's dock with "/brivora/" in its path or query
			return object("Other", "https://other.example/brivora/x/?widgetToken=" + token("F"), "0f0f");
		case 5:
			return object("Go",
				      "https://other.example/go?to=" + service_base + "x/&widgetToken=" + token("F"),
				      "0f10");
		case 6: // cut at the NUL by the host
			return object("Nul", "https://other.example/?widgetToken=" + token("F") + "\0/brivora/x/"s,
				      "0f11");
		default:
			return object(one_of({"Notes"s, "Caf\xe9"s, "\xf0\x9f\x8e\xae Game"s, "My \"chat\""s, ""s}),
				      "https://site" + std::to_string(pick(9)) + ".example/p?a=1&token=" + token("U"),
				      std::to_string(pick(100000)));
		}
	}

	std::vector<std::string> realistic_lines()
	{
		std::vector<std::string> lines = {
			"[General]",
			"Pre19Defaults=false",
			"Pre21Defaults=false",
			"FirstRun=true",
			"LastVersion=520093696",
			"[BasicWindow]",
			"geometry=AdnQywADAAAAAAAAAAAAFQAAB38AAAQ3AAAAAAAAABUAAAd/AAAENwAAAAAAAAAAB4AAAAAAAAAAFQAAB38AAAQ3",
			"DockState=AAAA/wAAAAD9AAAAAQAAAAMAAAeAAAABDvwBAAAAB/sAAAAUAHMAYwBlAG4AZQBzAEQAbwBjAGsBAAAAAA==",
			"ExtraBrowserDocks=" + docks_value(),
			"PreviewEnabled=true",
			"AlwaysOnTop=false",
			"SceneDuplicationMode=true",
			"VerticalVolControl=false",
			"[Basic]",
			"Profile=Untitled",
			"ProfileDir=Untitled",
			"SceneCollection=Untitled",
			"SceneCollectionFile=Untitled",
			"[Video]",
			"Renderer=OpenGL",
			"[Accessibility]",
			"SelectRed=255",
			"[Appearance]",
			"Theme=com.obsproject.Yami.Original",
			"[PropertiesWindow]",
			"cx=720",
			"cy=580",
		};
		if (chance(20))
			std::swap(lines[5], lines[13]); // [BasicWindow] after [Basic]: keys follow their header
		return lines;
	}

	// The section index of [BasicWindow] and its end, in `lines`.
	static std::pair<size_t, size_t> basic_window(const std::vector<std::string> &lines)
	{
		size_t at = 0;
		while (at < lines.size() && lines[at].find("BasicWindow") == std::string::npos)
			++at;
		size_t end = std::min(at + 1, lines.size());
		while (end < lines.size() && !lines[end].starts_with('['))
			++end;
		return {at, end};
	}

	void mutate_lines(std::vector<std::string> &lines, int kind)
	{
		const auto [basic, basic_end] = basic_window(lines);
		const size_t anywhere = static_cast<size_t>(pick(static_cast<int>(lines.size()) + 1));
		const size_t in_basic = std::min(
			lines.size(),
			basic + 1 + static_cast<size_t>(pick(std::max(1, static_cast<int>(basic_end - basic)))));
		switch (kind) {
		case 0:
			if (basic < lines.size())
				lines[basic] = one_of({"[BasicWindow] "s, "[BasicWindow]\t"s, "[BasicWindow"s,
						       "  [BasicWindow]"s, "[basicwindow]"s, "[BasicWindow ]"s});
			break;
		case 1: // a key on the header line
			if (basic + 1 < lines.size()) {
				lines[basic] += lines[basic + 1];
				lines.erase(lines.begin() + static_cast<long>(basic) + 1);
			}
			break;
		case 2:
		case 3: // a second docks line
			lines.insert(lines.begin() + static_cast<long>(in_basic),
				     one_of({"ExtraBrowserDocks="s, " ExtraBrowserDocks="s, "ExtraBrowserDocks ="s,
					     "extrabrowserdocks="s}) +
					     docks_value());
			break;
		case 4:
		case 5: { // a second [BasicWindow] section
			std::vector<std::string> section = {"[BasicWindow]", "geometry=" + token("G")};
			if (chance(70))
				section.push_back("ExtraBrowserDocks=" + docks_value());
			lines.insert(lines.begin() + static_cast<long>(chance(50) ? lines.size() : anywhere),
				     section.begin(), section.end());
			break;
		}
		case 6: // where the host stops reading
			lines.insert(lines.begin() + static_cast<long>(anywhere), one_of({"[]"s, "["s, " []x"s}));
			break;
		case 7:
			lines.insert(lines.begin() + static_cast<long>(anywhere),
				     one_of({"# comment=x"s, "no equals sign"s, "=leading=equals"s, "k\\n=v\\\\n\\r"s,
					     "Key = spaced "s, ""s, "  "s}));
			break;
		case 8:
			lines.insert(lines.begin() + static_cast<long>(anywhere), "[Dup]");
			lines.insert(lines.begin() + static_cast<long>(anywhere) + 1, "geometry=" + token("D"));
			break;
		case 9:
			lines.insert(lines.begin() + static_cast<long>(in_basic), "geometry=" + token("G"));
			break;
		case 10:
			lines.erase(lines.begin() + static_cast<long>(std::min(anywhere, lines.size() - 1)));
			break;
		case 11:
			lines.insert(lines.begin(), "stray=before any section");
			break;
		default: // the docks line's value made unreadable or empty
			for (size_t i = basic; i < basic_end; ++i)
				if (lines[i].starts_with("ExtraBrowserDocks="))
					lines[i] = one_of({"ExtraBrowserDocks="s, "ExtraBrowserDocks"s,
							   "ExtraBrowserDocks=[{\"title\":"s});
			break;
		}
	}

	void mutate_bytes(std::string &text, int kind)
	{
		const size_t at = static_cast<size_t>(pick(static_cast<int>(text.size()) + 1));
		switch (kind) {
		case 15:
			text.insert(0, utf8_bom);
			break;
		case 16:
			text.insert(at, 1, '\0');
			break;
		case 17:
			text.insert(at, 1, '\r');
			break;
		case 18:
			text.insert(at, one_of({"\xff"s, "\xc3"s, "\xed\xa0\x80"s, "\x1f"s, "\\"s}));
			break;
		case 19:
			text.resize(at); // a cut file, maybe inside a character
			break;
		default:
			break;
		}
	}

	std::mt19937 rng_;
	int serial_ = 0;
};

// What is wrong with the module's reading and repair of `content`; empty
// when it agrees with the host. Sets `rewritten` when the repair wrote;
// `repaired` receives what the host reads after the repair.
std::string disagreement(const std::string &content, bool &rewritten, std::string &repaired_content)
{
	const host_view host(content);
	const module_view mine(content);
	if (mine.sections != host.sections())
		return "sections differ";
	const std::set<std::string> keys = candidate_keys(content);
	for (const std::string &section : std::set<std::string>(mine.sections.begin(), mine.sections.end())) {
		const ini_section *own = mine.document.find(section);
		for (const std::string &key : keys) {
			const char *hosts = host.get(section, key);
			const ini_item *item = own->find(key);
			if ((item != nullptr) != (hosts != nullptr) ||
			    (item && unescape_ini_value(std::string_view(content).substr(
								item->value_start, item->value_end - item->value_start))
						     .text != hosts))
				return "value of [" + section + "] " + key + " differs";
		}
	}
	const std::vector<dock> before = host.docks();
	if (mine.docks != before)
		return "dock list differs";

	service_context context;
	module_docks_seen seen;
	absorb_user_ini_docks(context, content, seen);
	const std::vector<dock> service_before = only(before, true);
	const auto shown = [&](const std::string &piece) {
		return std::any_of(service_before.begin(), service_before.end(),
				   [&](const dock &d) { return d.url.find(piece) != std::string::npos; });
	};
	if ((context.widget_token[0] && !shown(context.widget_token)) ||
	    (!context.slug_is_default() && !shown("/brivora/"s + context.streamer_slug)))
		return "learnt what no service dock of the host's shows";

	if (!context.widget_token[0])
		context.absorb_service_url((service_base + "fresh/?widgetToken=NEW").c_str());
	const std::string entries = context.dock_entries();
	const std::optional<std::string> written = repaired_user_ini(content, entries);
	rewritten = written.has_value();
	const std::string after = written.value_or(content);
	repaired_content = after;
	if (repaired_user_ini(after, entries))
		return "a second repair writes";

	const host_view repaired(after);
	std::vector<dock> expected = host_docks_of(("[" + entries + "]").c_str());
	std::vector<dock> service_after = only(repaired.docks(), true);
	std::sort(expected.begin(), expected.end());
	std::sort(service_after.begin(), service_after.end());
	if (service_after != expected)
		return "after the repair the service's docks are not its two";
	if (only(repaired.docks(), false) != only(before, false))
		return "after the repair the streamer's docks differ";

	std::vector<std::string> sections = host.sections();
	if (!mine.document.find(basic_window_section))
		sections.emplace_back(basic_window_section);
	if (repaired.sections() != sections)
		return "after the repair the sections differ";
	std::set<std::string> all_keys = candidate_keys(after);
	all_keys.insert(keys.begin(), keys.end());
	for (const std::string &section : std::set<std::string>(sections.begin(), sections.end()))
		for (const std::string &key : all_keys) {
			if (section == basic_window_section && key == docks_key)
				continue;
			const char *was = host.get(section, key), *is = repaired.get(section, key);
			if ((was == nullptr) != (is == nullptr) || (was && std::string_view(was) != is))
				return "after the repair [" + section + "] " + key + " differs";
		}
	return {};
}

unsigned from_environment(const char *name, unsigned fallback)
{
	const char *value = std::getenv(name);
	return value && *value ? static_cast<unsigned>(std::strtoul(value, nullptr, 10)) : fallback;
}

TEST(UserIniHostAgreement, GeneratedFilesReadAndRepairedAsTheHostSeesThem)
{
	const unsigned files = from_environment("BRIVORA_AGREEMENT_FILES", 5000);
	generator make(from_environment("BRIVORA_AGREEMENT_SEED", 20261210u));
	unsigned mutated = 0, rewritten_count = 0, files_in_order = 0, disagreements = 0;
	for (unsigned i = 0; i < files; ++i) {
		int mutations = 0;
		const std::string content = make.file(mutations);
		bool rewritten = false;
		std::string after;
		std::string problem = disagreement(content, rewritten, after);
		mutated += mutations > 0;
		rewritten_count += rewritten;
		if (problem.empty() && i % 4 == 3) { // the repaired file, read and repaired again
			const std::string first_repair = after;
			problem = disagreement(first_repair, rewritten, after);
			++files_in_order;
			problem += rewritten ? "a repaired file repaired again" : "";
		}
		if (!problem.empty() && ++disagreements <= 5)
			ADD_FAILURE() << "file " << i << ": " << problem << "\n" << ::testing::PrintToString(content);
	}
	std::printf("%u files (%u mutated, %u repaired), %u repaired files read again, %u disagreements\n", files,
		    mutated, rewritten_count, files_in_order, disagreements);
	EXPECT_EQ(disagreements, 0u);
}

} // namespace
