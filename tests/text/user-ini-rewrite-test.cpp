// SPDX-License-Identifier: GPL-2.0-or-later
// The user.ini rewrite on the shapes that once cost streamers their layout or
// docks: exact output, and what the host reads of it. Every other shape is
// the property test's, against the host's own reader (tests/host-agreement).

#include "user-ini/dock-line.h"
#include "user-ini/host-ini.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <string_view>

namespace {

using namespace std::literals;

constexpr std::string_view V = "[{\"uuid\":\"new\"}]"sv;

// '@' stands for V.
std::string with_v(std::string_view text)
{
	std::string out;
	for (char c : text)
		if (c == '@')
			out.append(V);
		else
			out += c;
	return out;
}

struct rewrite_case {
	const char *name;
	std::string_view input;
	std::string_view want;
};

void PrintTo(const rewrite_case &c, std::ostream *os)
{
	*os << c.name;
}

const rewrite_case cases[] = {
	// Headers the host takes as [BasicWindow]: its keys stay where they are.
	{"header_with_trailing_blank", "[BasicWindow] \ngeometry=AdnQ\nExtraBrowserDocks=[]\n"sv,
	 "[BasicWindow] \ngeometry=AdnQ\nExtraBrowserDocks=@\n"sv},
	{"header_without_bracket", "[BasicWindow\ngeometry=AdnQ\n"sv,
	 "[BasicWindow\nExtraBrowserDocks=@\ngeometry=AdnQ\n"sv},
	{"indented_header_crlf", "  [BasicWindow]\r\ngeometry=AdnQ\r\n"sv,
	 "  [BasicWindow]\r\nExtraBrowserDocks=@\r\ngeometry=AdnQ\r\n"sv},
	{"bom", "\xef\xbb\xbf[BasicWindow]\nExtraBrowserDocks=[]\n"sv,
	 "\xef\xbb\xbf[BasicWindow]\nExtraBrowserDocks=@\n"sv},
	{"key_on_header_line", "[BasicWindow]geometry=AdnQ\n"sv, "[BasicWindow]ExtraBrowserDocks=@\ngeometry=AdnQ\n"sv},
	{"cr_only", "[General]\rA=1\r[BasicWindow]\rExtraBrowserDocks=x\rZ=2\r"sv,
	 "[General]\rA=1\r[BasicWindow]\rExtraBrowserDocks=@\rZ=2\r"sv},
	{"lf_cr", "[BasicWindow]\n\rG=1\n\r"sv, "[BasicWindow]\n\rExtraBrowserDocks=@\nG=1\n\r"sv},
	{"blank_line_after_header", "[BasicWindow]\n\nG=1\n"sv, "[BasicWindow]\nExtraBrowserDocks=@\n\nG=1\n"sv},
	// The host reads the last docks line of the last section; the others stay.
	{"two_docks_lines", "[BasicWindow]\nExtraBrowserDocks=a\nG=1\nExtraBrowserDocks=b\n"sv,
	 "[BasicWindow]\nExtraBrowserDocks=a\nG=1\nExtraBrowserDocks=@\n"sv},
	{"two_sections", "[BasicWindow]\nExtraBrowserDocks=a\n[Other]\n[BasicWindow]\nG=1\n"sv,
	 "[BasicWindow]\nExtraBrowserDocks=a\n[Other]\n[BasicWindow]\nExtraBrowserDocks=@\nG=1\n"sv},
	{"escaped_value", "[BasicWindow]\nExtraBrowserDocks=a\\\\b\\n\n"sv, "[BasicWindow]\nExtraBrowserDocks=@\n"sv},
	// A value ends at CR: what follows is another line.
	{"cr_inside_a_line", "[BasicWindow]\nExtraBrowserDocks=[]\rSideDocks=true\n"sv,
	 "[BasicWindow]\nExtraBrowserDocks=@\rSideDocks=true\n"sv},
	// Where the host stops reading, the section goes before.
	{"empty_header_stops", "[General]\nA=1\n[]\n[BasicWindow]\nExtraBrowserDocks=a\n"sv,
	 "[General]\nA=1\n[BasicWindow]\nExtraBrowserDocks=@\n[]\n[BasicWindow]\nExtraBrowserDocks=a\n"sv},
	{"lone_bracket_after_header", "[General][\n"sv, "[General]\n[BasicWindow]\nExtraBrowserDocks=@\n[\n"sv},
	{"nul_stops", "[General]\nA=1\0[BasicWindow]\nExtraBrowserDocks=a\n"sv,
	 "[General]\nA=1\n[BasicWindow]\nExtraBrowserDocks=@\n\0[BasicWindow]\nExtraBrowserDocks=a\n"sv},
	{"last_key_without_equals", "[General]\nFlag"sv, "[General]\nFlag=\n[BasicWindow]\nExtraBrowserDocks=@\n"sv},
	{"empty_file", ""sv, "[BasicWindow]\nExtraBrowserDocks=@\n"sv},
	{"header_ends_the_file", "[BasicWindow]"sv, "[BasicWindow]\nExtraBrowserDocks=@\n"sv},
	{"header_ends_the_file_crlf", "[BasicWindow]\r\n"sv, "[BasicWindow]\r\nExtraBrowserDocks=@\r\n"sv},
	{"bare_key_ends_the_file", "[BasicWindow]\nExtraBrowserDocks"sv, "[BasicWindow]\nExtraBrowserDocks=@"sv},
	{"nul_after_a_key", "[BasicWindow]\nExtraBrowserDocks\0=a\n"sv, "[BasicWindow]\nExtraBrowserDocks=@\0=a\n"sv},
	{"near_misses_are_other_keys", "[BasicWindow]\nExtraBrowserDocks =a\nextrabrowserdocks=b\n[basicwindow]\n"sv,
	 "[BasicWindow]\nExtraBrowserDocks=@\nExtraBrowserDocks =a\nextrabrowserdocks=b\n[basicwindow]\n"sv},
};

class Rewrite : public ::testing::TestWithParam<rewrite_case> {};

TEST_P(Rewrite, ChangesOnlyTheDocksValueTheHostReads)
{
	const std::string input = with_v(GetParam().input);
	const std::string got = rewrite_user_ini(input, V);
	EXPECT_EQ(got, with_v(GetParam().want));
	// A second rewrite finds the value in place.
	EXPECT_EQ(rewrite_user_ini(got, V), got);
}

INSTANTIATE_TEST_SUITE_P(UserIni, Rewrite, ::testing::ValuesIn(cases),
			 [](const auto &info) { return std::string(info.param.name); });

} // namespace
