// SPDX-License-Identifier: GPL-2.0-or-later
#include "context/service-context.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

const char *const service_base_url = "https://" BRIVORA_SERVICE_HOST "/brivora";
const char *const module_version = BRIVORA_MODULE_VERSION;

namespace {

constexpr const char *token_keys[] = {"widgetToken", "widgettoken", "token"};

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

// The dock list is stored as JSON without escaping; a slug holding '"' or
// '\' would break it, so those two go into the dock URLs percent-encoded.
void encode_slug_for_docks(const char *slug, char *dst, size_t dst_size)
{
	size_t n = 0;
	for (const char *c = slug; *c; ++c) {
		const char *piece = *c == '"' ? "%22" : *c == '\\' ? "%5C" : nullptr;
		size_t len = piece ? 3 : 1;
		if (n + len >= dst_size)
			break;
		if (piece)
			std::memcpy(dst + n, piece, len);
		else
			dst[n] = *c;
		n += len;
	}
	dst[n] = '\0';
}

std::string dock_entry(const service_context &context, const char *title, const char *dock_path, const char *uuid)
{
	char url[service_url_size];
	context.dock_url(url, sizeof(url), dock_path);
	return std::string("{\"title\":\"") + title + "\",\"url\":\"" + url + "\",\"uuid\":\"" + uuid + "\"}";
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

bool contains_token_key(const char *text)
{
	return std::strstr(text, "widgetToken=") || std::strstr(text, "widgettoken=") || std::strstr(text, "token=");
}

bool service_context::slug_is_default() const
{
	return std::strcmp(streamer_slug, default_slug) == 0;
}

bool service_context::complete() const
{
	return widget_token[0] != '\0' && !slug_is_default();
}

void service_context::absorb_url(const char *text)
{
	// Only the service's own URLs teach anything: a token of another
	// service must never travel to this one.
	if (!std::strstr(text, slug_marker))
		return;
	for (const char *key : token_keys)
		extract_query_value(widget_token, sizeof(widget_token), text, key);
	if (slug_is_default())
		extract_slug(streamer_slug, sizeof(streamer_slug), text);
}

void service_context::absorb_user_ini(std::string_view content)
{
	char piece[8192];
	for (size_t at = 0; at < content.size() && !complete();) {
		size_t length = std::min(content.size() - at, sizeof(piece) - 1);
		const size_t line_feed = content.find('\n', at);
		if (line_feed != std::string_view::npos && line_feed < at + length)
			length = line_feed - at + 1;
		std::memcpy(piece, content.data() + at, length);
		piece[length] = '\0';
		at += length;
		if (contains_token_key(piece))
			absorb_url(piece);
	}
}

void service_context::signature_url(char *dst, size_t dst_size) const
{
	if (widget_token[0])
		std::snprintf(dst, dst_size, "%s/%s/widgets/signature/?widgetToken=%s", service_base_url, streamer_slug,
			      widget_token);
	else
		std::snprintf(dst, dst_size, "%s/%s/widgets/signature/", service_base_url, streamer_slug);
}

void service_context::dock_url(char *dst, size_t dst_size, const char *dock_path) const
{
	char slug[streamer_slug_size * 3];
	encode_slug_for_docks(streamer_slug, slug, sizeof(slug));
	std::snprintf(dst, dst_size, "%s/%s/%s?dock=1&pluginVersion=%s&widgetToken=%s", service_base_url, slug,
		      dock_path, module_version, widget_token);
}

std::string service_context::dock_entries() const
{
	return dock_entry(*this, "Brivora Dock Live", live_dock_path, "brivora_live_dock") + "," +
	       dock_entry(*this, "Brivora Chat", chat_dock_path, "brivora_chat_dock");
}
