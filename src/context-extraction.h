// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <cstddef>

// The service's path segment, followed by the streamer slug.
inline constexpr const char *slug_marker = "/brivora/";

// Text rules that pull the widget token and the streamer slug out of URLs and
// configuration lines. Pure functions over C strings: no host involved.

// Copies the value that follows the first "key=" in `text` into `dst`, cut to
// dst_size - 1 characters. Does nothing while `dst` already holds a value, or
// when `text` has no "key=". An empty value leaves `dst` empty.
void extract_query_value(char *dst, size_t dst_size, const char *text, const char *key);

// Copies the path segment that follows the first "/brivora/" in `text` into
// `dst`, cut to dst_size - 1 characters; an empty segment empties `dst`.
// Leaves `dst` alone when `text` has no marker.
void extract_slug(char *dst, size_t dst_size, const char *text);

// True for the bytes that end a token value.
bool ends_token_value(unsigned char c);

// True for the bytes that end a slug segment.
bool ends_slug_segment(unsigned char c);
