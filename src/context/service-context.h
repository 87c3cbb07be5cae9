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

	// For a text that holds "/brivora/": fills the token (while empty) from
	// "widgetToken=", "widgettoken=", then "token=", and the slug (while
	// default) from the "/brivora/" segment. Any other text teaches nothing.
	void absorb_url(const char *text);

	// The lines of a whole user.ini, as the host's line reader hands them:
	// longer lines come in pieces of 8191 characters, each examined on its
	// own as a C string; a piece teaches only when it holds a token key.
	// Stops once the context is complete.
	void absorb_user_ini(std::string_view content);

	void signature_url(char *dst, size_t dst_size) const;
	void dock_url(char *dst, size_t dst_size, const char *dock_path) const;
	// The live and chat docks: two JSON objects joined by ',', in the form
	// the docks line of user.ini holds them.
	std::string dock_entries() const;
};

// True when `text` holds one of the token keys followed by '='.
bool contains_token_key(const char *text);

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
