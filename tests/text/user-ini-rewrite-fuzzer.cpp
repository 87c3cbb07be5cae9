// SPDX-License-Identifier: GPL-2.0-or-later
// libFuzzer entry for the user.ini rewrite (BRIVORA_LIBFUZZER=ON, clang only):
// the same invariants as the seeded loop of the unit tests, on any bytes.

#include "ini-invariants.h"
#include "user-ini/dock-line.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	constexpr std::string_view expected = "ExtraBrowserDocks=[{\"uuid\":\"new\"}]";
	const std::string_view input(reinterpret_cast<const char *>(data), size);
	const std::string output = rewrite_user_ini(input, expected);
	const std::string problem = ini_check::violation(input, expected, output);
	if (!problem.empty()) {
		std::fprintf(stderr, "%s\n", problem.c_str());
		std::abort();
	}
	if (!ini_check::has_line_ending_in_two_crs(input) && rewrite_user_ini(output, expected) != output) {
		std::fprintf(stderr, "second rewrite changed the output\n");
		std::abort();
	}
	return 0;
}
