// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// Properties every user.ini rewrite must have, whatever the input. Shared by
// the seeded loop of the unit tests and the optional libFuzzer target.

#include <string>
#include <string_view>
#include <vector>

namespace ini_check {

inline constexpr std::string_view basic_window = "[BasicWindow]";
inline constexpr std::string_view docks_key = "ExtraBrowserDocks=";

// Split on '\n': a final line without '\n' is a line, text ending in '\n' has
// no further (empty) line.
inline std::vector<std::string_view> split_lines(std::string_view text)
{
	std::vector<std::string_view> lines;
	while (!text.empty()) {
		size_t end = text.find('\n');
		lines.push_back(text.substr(0, end));
		text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
	}
	return lines;
}

inline bool is_header(std::string_view line)
{
	return !line.empty() && line.front() == '[';
}

// Carriage returns at the end of a header line do not change what it names.
inline bool is_basic_window(std::string_view line)
{
	while (line.ends_with('\r'))
		line.remove_suffix(1);
	return line == basic_window;
}

// Empty when `output` is a valid rewrite of `input`, otherwise what is wrong.
inline std::string violation(std::string_view input, std::string_view expected_line, std::string_view output)
{
	if (!output.empty() && output.back() != '\n')
		return "last output line has no line feed";

	// Input lines as they must come out: one CR dropped, the docks lines of
	// [BasicWindow] sections gone.
	std::vector<std::string_view> kept;
	bool in_basic = false;
	bool had_basic = false;
	for (std::string_view line : split_lines(input)) {
		if (line.ends_with('\r'))
			line.remove_suffix(1);
		if (is_header(line)) {
			in_basic = is_basic_window(line);
			had_basic = had_basic || in_basic;
		} else if (in_basic && line.starts_with(docks_key)) {
			continue;
		}
		kept.push_back(line);
	}

	std::vector<std::string_view> out = split_lines(output);
	int expected_count = 0;
	if (!had_basic) {
		if (out.size() < 3 || out[out.size() - 3] != "" || out[out.size() - 2] != basic_window ||
		    out.back() != expected_line)
			return "no [BasicWindow] section appended at the end";
		out.resize(out.size() - 3);
		expected_count = 1;
	}

	std::vector<std::string_view> others;
	in_basic = false;
	for (std::string_view line : out) {
		if (is_header(line))
			in_basic = is_basic_window(line);
		else if (in_basic && line.starts_with(docks_key)) {
			if (line != expected_line)
				return "a [BasicWindow] section keeps a foreign docks line";
			++expected_count;
			continue;
		}
		others.push_back(line);
	}
	if (expected_count != 1)
		return "expected docks line present " + std::to_string(expected_count) + " times";
	if (others != kept)
		return "other lines lost, changed or reordered";
	return {};
}

// A line ending in two CRs loses exactly one per rewrite, so only inputs
// without such a line must come back unchanged from a second rewrite.
inline bool has_line_ending_in_two_crs(std::string_view input)
{
	for (std::string_view line : split_lines(input))
		if (line.ends_with("\r\r"))
			return true;
	return false;
}

} // namespace ini_check
