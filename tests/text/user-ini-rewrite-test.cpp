// SPDX-License-Identifier: GPL-2.0-or-later
// The user.ini rewrite: fixed cases, then a seeded random loop checking the
// invariants of ini-invariants.h.

#include "ini-invariants.h"
#include "user-ini/dock-line.h"

#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <string>
#include <string_view>

namespace {

using namespace std::literals;

constexpr std::string_view E = "ExtraBrowserDocks=[{\"uuid\":\"new\"}]"sv;
constexpr std::string_view service_entries =
	R"({"title":"L","url":"https://h/brivora/s/live-dock/","uuid":"brivora_live_dock"},)"
	R"({"title":"C","url":"https://h/brivora/s/chat/","uuid":"brivora_chat_dock"})"sv;

std::string with_e(std::string_view text)
{
	std::string out;
	for (char c : text)
		if (c == '@')
			out.append(E);
		else
			out += c;
	return out;
}

struct rewrite_case {
	const char *name;
	std::string_view input;
	std::string_view want; // '@' stands for the expected docks line in both
};

void PrintTo(const rewrite_case &c, std::ostream *os)
{
	*os << c.name;
}

const rewrite_case cases[] = {
	{"older_line_replaced_in_place_crlf_becomes_lf",
	 "[General]\r\nA=1\r\n[BasicWindow]\r\nGeom=x\r\nExtraBrowserDocks=[{\"title\":\"Old Login\"}]\r\nZ=2\r\n[Other]\r\nB=3\r\n"sv,
	 "[General]\nA=1\n[BasicWindow]\nGeom=x\n@\nZ=2\n[Other]\nB=3\n"sv},
	{"expected_line_already_there", "[BasicWindow]\n@\nZ=2\n"sv, "[BasicWindow]\n@\nZ=2\n"sv},
	{"inserted_before_next_header_after_blank_lines", "[BasicWindow]\nGeom=x\n\n\n[Other]\nB=3\n"sv,
	 "[BasicWindow]\nGeom=x\n\n\n@\n[Other]\nB=3\n"sv},
	{"basic_window_last_appended_at_end", "[General]\nA=1\n[BasicWindow]\nGeom=x"sv,
	 "[General]\nA=1\n[BasicWindow]\nGeom=x\n@\n"sv},
	{"no_basic_window_block_appended", "[General]\nA=1\n"sv, "[General]\nA=1\n\n[BasicWindow]\n@\n"sv},
	{"no_basic_window_no_final_lf", "[General]\nA=1"sv, "[General]\nA=1\n\n[BasicWindow]\n@\n"sv},
	{"empty_file", ""sv, "\n[BasicWindow]\n@\n"sv},
	{"single_lf_is_one_empty_line", "\n"sv, "\n\n[BasicWindow]\n@\n"sv},
	{"lone_cr_is_one_empty_line", "\r"sv, "\n\n[BasicWindow]\n@\n"sv},
	{"second_docks_line_dropped", "[BasicWindow]\nExtraBrowserDocks=a\nG=1\nExtraBrowserDocks=b\n"sv,
	 "[BasicWindow]\n@\nG=1\n"sv},
	{"docks_line_of_other_section_kept", "[Other]\nExtraBrowserDocks=a\n[BasicWindow]\nG=1\n"sv,
	 "[Other]\nExtraBrowserDocks=a\n[BasicWindow]\nG=1\n@\n"sv},
	{"header_with_trailing_space_not_recognised", "[BasicWindow] \nExtraBrowserDocks=a\n"sv,
	 "[BasicWindow] \nExtraBrowserDocks=a\n\n[BasicWindow]\n@\n"sv},
	{"header_in_lower_case_not_recognised", "[basicwindow]\nExtraBrowserDocks=a\n"sv,
	 "[basicwindow]\nExtraBrowserDocks=a\n\n[BasicWindow]\n@\n"sv},
	{"two_sections_written_once_in_first",
	 "[BasicWindow]\nG=1\n[Other]\nO=1\n[BasicWindow]\nExtraBrowserDocks=a\nH=2\n"sv,
	 "[BasicWindow]\nG=1\n@\n[Other]\nO=1\n[BasicWindow]\nH=2\n"sv},
	{"two_sections_both_with_docks", "[BasicWindow]\nExtraBrowserDocks=a\n[BasicWindow]\nExtraBrowserDocks=b\n"sv,
	 "[BasicWindow]\n@\n[BasicWindow]\n"sv},
	{"near_miss_keys_kept_line_added_at_section_end",
	 "[BasicWindow]\n ExtraBrowserDocks=a\nExtraBrowserDocks =b\nextrabrowserdocks=c\nExtraBrowserDocks\n[Other]\n"sv,
	 "[BasicWindow]\n ExtraBrowserDocks=a\nExtraBrowserDocks =b\nextrabrowserdocks=c\nExtraBrowserDocks\n@\n[Other]\n"sv},
	{"bare_key_replaced", "[BasicWindow]\nExtraBrowserDocks=\nG=1\n"sv, "[BasicWindow]\n@\nG=1\n"sv},
	{"indented_header_is_not_a_header", "[BasicWindow]\n [Other]\nExtraBrowserDocks=a\n"sv,
	 "[BasicWindow]\n [Other]\n@\n"sv},
	{"lone_bracket_is_a_header", "[BasicWindow]\nG=1\n[\nExtraBrowserDocks=a\n"sv,
	 "[BasicWindow]\nG=1\n@\n[\nExtraBrowserDocks=a\n"sv},
	{"one_cr_dropped_per_line", "[BasicWindow]\nx\r\r\nA=1\r2\r\n"sv, "[BasicWindow]\nx\r\nA=1\r2\n@\n"sv},
	{"crlf_alone_becomes_empty_line", "[BasicWindow]\r\n\r\n"sv, "[BasicWindow]\n\n@\n"sv},
	{"header_with_cr_and_no_lf", "[BasicWindow]\r"sv, "[BasicWindow]\n@\n"sv},
	{"header_followed_by_two_crs_recognised", "[BasicWindow]\r\r\nExtraBrowserDocks=a\n"sv,
	 "[BasicWindow]\r\n@\n"sv},
	{"nul_bytes_kept", "\0\n[BasicWindow]\nA=\0b\nExtraBrowserDocks=\0\n[O\0]\n"sv,
	 "\0\n[BasicWindow]\nA=\0b\n@\n[O\0]\n"sv},
};

class Rewrite : public ::testing::TestWithParam<rewrite_case> {};

TEST_P(Rewrite, GivesExactText)
{
	const std::string input = with_e(GetParam().input);
	const std::string got = rewrite_user_ini(input, E);
	EXPECT_EQ(got, with_e(GetParam().want));
	EXPECT_EQ(ini_check::violation(input, E, got), "");
}

INSTANTIATE_TEST_SUITE_P(UserIni, Rewrite, ::testing::ValuesIn(cases),
			 [](const auto &info) { return std::string(info.param.name); });

// Random INI-like text: known fragments, near misses, line ends in all
// forms, NUL and arbitrary bytes.
std::string random_ini(std::mt19937 &rng)
{
	static const std::string_view fragments[] = {
		"[BasicWindow]"sv,
		"[BasicWindow]"sv,
		"[Other]"sv,
		"[basicwindow]"sv,
		" [BasicWindow]"sv,
		"["sv,
		"ExtraBrowserDocks=old"sv,
		"ExtraBrowserDocks=[{\"title\":\"mine\"}]"sv,
		"ExtraBrowserDocks="sv,
		"ExtraBrowserDocks"sv,
		" ExtraBrowserDocks=x"sv,
		E,
		"Geometry=AdnQyw=="sv,
		""sv,
		"\r"sv,
		"\0"sv,
		"=\0["sv,
	};
	static const std::string_view ends[] = {"\n"sv, "\n"sv, "\n"sv, "\r\n"sv, "\r\n"sv, "\r\r\n"sv, ""sv, "\r"sv};
	std::string text;
	const int pieces = std::uniform_int_distribution<int>(0, 14)(rng);
	for (int i = 0; i < pieces; ++i) {
		const unsigned pick = std::uniform_int_distribution<unsigned>(0, std::size(fragments))(rng);
		if (pick < std::size(fragments)) {
			text.append(fragments[pick]);
		} else {
			const int n = std::uniform_int_distribution<int>(1, 4)(rng);
			for (int b = 0; b < n; ++b)
				text += static_cast<char>(std::uniform_int_distribution<int>(0, 255)(rng));
		}
		text.append(ends[std::uniform_int_distribution<size_t>(0, std::size(ends) - 1)(rng)]);
	}
	return text;
}

TEST(UserIniInvariants, HoldForSeededRandomInput)
{
	std::mt19937 rng(20240611u);
	int replaced = 0, appended = 0, fixed_points = 0;
	for (int iteration = 0; iteration < 4000; ++iteration) {
		const std::string input = random_ini(rng);
		const std::string output = rewrite_user_ini(input, E);
		const std::string problem = ini_check::violation(input, E, output);
		ASSERT_EQ(problem, "") << "iteration " << iteration << ", input:\n"
				       << ::testing::PrintToString(input) << "\noutput:\n"
				       << ::testing::PrintToString(output);
		// One rewrite settles any file: the repair finds the docks line
		// it wrote in order.
		if (const auto line = docks_line_repair(input, service_entries)) {
			ASSERT_EQ(docks_line_repair(rewrite_user_ini(input, *line), service_entries), std::nullopt)
				<< "iteration " << iteration << ", input:\n"
				<< ::testing::PrintToString(input);
		}
		replaced += input.find("[BasicWindow]\nExtraBrowserDocks=") != std::string::npos;
		appended += input.find("[BasicWindow]") == std::string::npos;
		if (!ini_check::has_line_ending_in_two_crs(input)) {
			++fixed_points;
			ASSERT_EQ(rewrite_user_ini(output, E), output) << "iteration " << iteration << ", input:\n"
								       << ::testing::PrintToString(input);
		}
	}
	// The generator must reach the interesting shapes.
	EXPECT_GT(replaced, 100);
	EXPECT_GT(appended, 100);
	EXPECT_GT(fixed_points, 1000);
}

} // namespace
