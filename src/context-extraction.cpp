// SPDX-License-Identifier: GPL-2.0-or-later
#include "context-extraction.h"

#include <cstdio>
#include <cstring>

namespace {

// Line ends and other control characters end every value: a token or slug
// read from the end of a user.ini line must not carry its CR/LF into URLs
// or into the dock line written back to that file.
bool is_control(unsigned char c)
{
	return c < 0x20 || c == 0x7f;
}

void copy_until(char *dst, size_t dst_size, const char *from, bool (*ends)(unsigned char))
{
	size_t n = 0;
	while (n + 1 < dst_size && !ends(static_cast<unsigned char>(from[n]))) {
		dst[n] = from[n];
		++n;
	}
	dst[n] = '\0';
}

} // namespace

bool ends_token_value(unsigned char c)
{
	switch (c) {
	case '&':
	case '"':
	case '#':
	case '\'':
	case ',':
	case '\\':
	case ']':
	case '}':
		return true;
	default:
		return is_control(c);
	}
}

bool ends_slug_segment(unsigned char c)
{
	return c == '/' || is_control(c);
}

void extract_query_value(char *dst, size_t dst_size, const char *text, const char *key)
{
	if (dst_size == 0 || dst[0] != '\0')
		return;

	char pattern[64];
	std::snprintf(pattern, sizeof(pattern), "%s=", key);

	const char *found = std::strstr(text, pattern);
	if (!found)
		return;

	copy_until(dst, dst_size, found + std::strlen(pattern), ends_token_value);
}

void extract_slug(char *dst, size_t dst_size, const char *text)
{
	if (dst_size == 0)
		return;

	const char *found = std::strstr(text, slug_marker);
	if (!found)
		return;

	copy_until(dst, dst_size, found + std::strlen(slug_marker), ends_slug_segment);
}
