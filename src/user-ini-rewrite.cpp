// SPDX-License-Identifier: GPL-2.0-or-later
#include "user-ini-rewrite.h"

namespace {

constexpr std::string_view basic_window_header = "[BasicWindow]";
constexpr std::string_view appended_section_start = "\n[BasicWindow]\n";

// The line that starts at `start`, without its line feed and one carriage
// return before it; `start` moves to the next line.
std::string_view next_line(std::string_view content, size_t &start)
{
	size_t end = content.find('\n', start);
	size_t next = end == std::string_view::npos ? content.size() : end + 1;
	std::string_view line = content.substr(start, next - start);
	if (!line.empty() && line.back() == '\n')
		line.remove_suffix(1);
	if (!line.empty() && line.back() == '\r')
		line.remove_suffix(1);
	start = next;
	return line;
}

bool is_section_header(std::string_view line)
{
	return !line.empty() && line.front() == '[';
}

void write_ini_line(std::string &out, std::string_view line)
{
	out.append(line);
	out.push_back('\n');
}

} // namespace

std::string rewrite_user_ini(std::string_view content, std::string_view expected_line)
{
	std::string out;
	out.reserve(content.size() + expected_line.size() + appended_section_start.size() + 1);

	bool in_basic = false;
	bool found_basic = false;
	bool wrote_docks = false;

	auto write_docks_once = [&] {
		if (!wrote_docks) {
			write_ini_line(out, expected_line);
			wrote_docks = true;
		}
	};

	for (size_t start = 0; start < content.size();) {
		std::string_view line = next_line(content, start);
		if (is_section_header(line)) {
			if (in_basic)
				write_docks_once();
			in_basic = line == basic_window_header;
			found_basic = found_basic || in_basic;
			write_ini_line(out, line);
		} else if (in_basic && line.starts_with(docks_key)) {
			write_docks_once(); // older or duplicate docks lines are replaced, not kept
		} else {
			write_ini_line(out, line);
		}
	}

	if (!found_basic) {
		out.append(appended_section_start);
		write_ini_line(out, expected_line);
	} else if (in_basic) {
		write_docks_once();
	}
	return out;
}

std::vector<std::string_view> basic_window_docks_values(std::string_view content)
{
	std::vector<std::string_view> values;
	bool in_basic = false;
	for (size_t start = 0; start < content.size();) {
		std::string_view line = next_line(content, start);
		if (is_section_header(line))
			in_basic = line == basic_window_header;
		else if (in_basic && line.starts_with(docks_key))
			values.push_back(line.substr(docks_key.size()));
	}
	return values;
}
