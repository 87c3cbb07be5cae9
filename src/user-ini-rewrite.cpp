// SPDX-License-Identifier: GPL-2.0-or-later
#include "user-ini-rewrite.h"

namespace {

constexpr std::string_view basic_window_header = "[BasicWindow]";
constexpr std::string_view docks_key = "ExtraBrowserDocks=";
constexpr std::string_view appended_section_start = "\n[BasicWindow]\n";

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

	size_t start = 0;
	while (start < content.size()) {
		size_t end = content.find('\n', start);
		size_t next = end == std::string_view::npos ? content.size() : end + 1;
		std::string_view line = content.substr(start, next - start);
		if (!line.empty() && line.back() == '\n')
			line.remove_suffix(1);
		if (!line.empty() && line.back() == '\r')
			line.remove_suffix(1);
		start = next;

		if (!line.empty() && line.front() == '[') {
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
