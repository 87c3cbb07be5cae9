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
// The uuids of the module's own two docks in the host's dock list.
inline constexpr const char *live_dock_uuid = "brivora_live_dock";
inline constexpr const char *chat_dock_uuid = "brivora_chat_dock";

// "https://<host>/brivora", no trailing slash.
extern const char *const service_base_url;
// The module's version as it appears in the load line and the dock URLs.
extern const char *const module_version;

// Where a URL the context learns from comes from. What the module wrote
// itself (its two docks as it last read or wrote them, the signature source)
// may be stale: the streamer's own entries outrank it.
enum class url_origin : unsigned char { none, module_output, streamer };

// What a module learns. A token once known and a slug once learnt are kept,
// except that one learnt only from the module's own outputs gives way to one
// from the streamer's own entries.
struct service_context {
	char widget_token[widget_token_size] = "";          // empty while no token is known
	char streamer_slug[streamer_slug_size] = "dravelo"; // the default slug until one is learnt
	url_origin token_origin = url_origin::none;
	url_origin slug_origin = url_origin::none;

	bool slug_is_default() const;
	// Both values learnt from the streamer's own entries: nothing more can
	// change.
	bool complete() const;

	// For a URL of the service's (see is_service_url): as
	// absorb_service_url. Any other text teaches nothing.
	void absorb_url(const char *text, url_origin origin = url_origin::streamer);

	// For a URL known to be the service's own (a dock of the service's):
	// the token from "widgetToken=", "widgettoken=", then "token=", and the
	// slug from the segment after "/brivora/", when it has one other than
	// the default. Each replaces what is held while nothing is, or while it
	// came only from the module's outputs and `origin` is the streamer.
	void absorb_service_url(const char *url, url_origin origin = url_origin::streamer);

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
// `dst`, cut to dst_size - 1 bytes (never inside a UTF-8 character). Leaves
// `dst` alone when `text` has no marker or the segment is empty.
void extract_slug(char *dst, size_t dst_size, const char *text);

// True for the bytes that end a token value.
bool ends_token_value(unsigned char c);

// True for the bytes that end a slug segment.
bool ends_slug_segment(unsigned char c);
