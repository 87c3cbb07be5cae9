// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// The service context: the streamer's widget token and slug, learnt from the
// URLs and the user.ini lines the user already has, and the service URLs and
// docks built from them. No host involved.

#include <cstddef>
#include <string>
#include <string_view>

inline constexpr size_t widget_token_size = 256;
inline constexpr size_t streamer_slug_size = 96;
inline constexpr size_t service_url_size = 1200;

// The service's path segment, followed by the streamer slug.
inline constexpr const char *slug_marker = "/brivora/";
inline constexpr const char *default_slug = "dravelo";
inline constexpr const char *live_dock_path = "live-dock/";
inline constexpr const char *chat_dock_path = "chat/";

// "https://<host>/brivora", no trailing slash.
extern const char *const service_base_url;
// The module's version as it appears in the load line and the dock URLs.
extern const char *const module_version;

// What a module learns; it only grows: a token once known and a slug once
// learnt are kept.
struct service_context {
	char widget_token[widget_token_size] = "";          // empty while no token is known
	char streamer_slug[streamer_slug_size] = "dravelo"; // the default slug until one is learnt

	bool slug_is_default() const;
	// Both values learnt: nothing more can change.
	bool complete() const;

	// For a URL of the service's (see is_service_url): as
	// absorb_service_url. Any other text teaches nothing.
	void absorb_url(const char *text);

	// For a URL known to be the service's own (a dock of the service's):
	// fills the token (while empty) from "widgetToken=", "widgettoken=",
	// then "token=", and the slug (while default) from the segment after
	// "/brivora/", when it has one.
	void absorb_service_url(const char *url);

	void signature_url(char *dst, size_t dst_size) const;
	void dock_url(char *dst, size_t dst_size, const char *dock_path) const;
	// The live and chat docks: two JSON objects joined by ',', in the form
	// the docks line of user.ini holds them.
	std::string dock_entries() const;
};

// A URL is the service's when it starts with the service's base URL and a
// slash; one that merely holds "/brivora/" elsewhere (another host, a query)
// is not.
bool is_service_url(std::string_view url);

// Copies the value that follows the first "key=" in `text` into `dst`, cut to
// dst_size - 1 bytes (never inside a UTF-8 character). Does nothing while `dst` already holds a value, or
// when `text` has no "key=". An empty value leaves `dst` empty.
void extract_query_value(char *dst, size_t dst_size, const char *text, const char *key);

// Copies the path segment that follows the first "/brivora/" in `text` into
// `dst`, cut to dst_size - 1 bytes (never inside a UTF-8 character); an empty segment empties `dst`.
// Leaves `dst` alone when `text` has no marker.
void extract_slug(char *dst, size_t dst_size, const char *text);

// True for the bytes that end a token value.
bool ends_token_value(unsigned char c);

// True for the bytes that end a slug segment.
bool ends_slug_segment(unsigned char c);
