// SPDX-License-Identifier: GPL-2.0-or-later
#include "context/service-context.h"

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

bool is_utf8_continuation(unsigned char c)
{
	return (c & 0xc0) == 0x80;
}

// The length of the character a UTF-8 lead byte starts; 0 for a byte that
// starts none.
size_t utf8_length(unsigned char lead)
{
	return lead >= 0xc2 && lead <= 0xdf   ? 2
	       : lead >= 0xe0 && lead <= 0xef ? 3
	       : lead >= 0xf0 && lead <= 0xf4 ? 4
					      : 0;
}

// Where a value of `from` cut after `n` bytes must end so that it does not
// end inside a UTF-8 character: before the lead byte of a character that
// `from` holds whole but that does not fit. Bytes that are no UTF-8 stay.
size_t whole_character_end(const char *from, size_t n)
{
	size_t lead = n;
	while (lead > 0 && n - lead < 3 && is_utf8_continuation(static_cast<unsigned char>(from[lead - 1])))
		--lead;
	if (lead == 0)
		return n;
	--lead;
	const size_t length = utf8_length(static_cast<unsigned char>(from[lead]));
	if (length <= n - lead)
		return n; // the last character fits whole, or is no UTF-8
	// Every byte that ends a value is ASCII, so no continuation byte does.
	for (size_t i = n; i < lead + length; ++i)
		if (!is_utf8_continuation(static_cast<unsigned char>(from[i])))
			return n; // not a whole character in `from` either
	return lead;
}

void copy_until(char *dst, size_t dst_size, const char *from, bool (*ends)(unsigned char))
{
	size_t n = 0;
	while (n + 1 < dst_size && !ends(static_cast<unsigned char>(from[n])))
		++n;
	if (!ends(static_cast<unsigned char>(from[n])))
		n = whole_character_end(from, n);
	std::memcpy(dst, from, n);
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

// A value learnt from `origin` replaces the one held, learnt from `held`,
// only when none is held or the held one came only from the module's own
// outputs and the new one from the streamer's entries. Otherwise the first
// one learnt stays.
bool replaces(url_origin origin, url_origin held)
{
	return held == url_origin::none || (held == url_origin::module_output && origin == url_origin::streamer);
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
	return c == '/' || c == '?' || c == '#' || is_control(c);
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
	if (!found || ends_slug_segment(static_cast<unsigned char>(found[std::strlen(slug_marker)])))
		return;

	copy_until(dst, dst_size, found + std::strlen(slug_marker), ends_slug_segment);
}

bool is_service_url(std::string_view url)
{
	return url.starts_with(service_base_url) && url.substr(std::strlen(service_base_url)).starts_with('/');
}

bool service_context::slug_is_default() const
{
	return std::strcmp(streamer_slug, default_slug) == 0;
}

bool service_context::complete() const
{
	return token_origin == url_origin::streamer && slug_origin == url_origin::streamer;
}

void service_context::absorb_url(const char *text, url_origin origin)
{
	// Only the service's own URLs teach anything: a token of another
	// service must never travel to this one.
	if (is_service_url(text))
		absorb_service_url(text, origin);
}

void service_context::absorb_service_url(const char *url, url_origin origin)
{
	if (replaces(origin, token_origin)) {
		char token[widget_token_size] = "";
		for (const char *key : token_keys)
			extract_query_value(token, sizeof(token), url, key);
		if (token[0]) {
			std::memcpy(widget_token, token, sizeof(token));
			token_origin = origin;
		}
	}
	if (replaces(origin, slug_origin)) {
		char slug[streamer_slug_size] = "";
		extract_slug(slug, sizeof(slug), url);
		// A segment equal to the default slug teaches nothing.
		if (slug[0] && std::strcmp(slug, default_slug) != 0) {
			std::memcpy(streamer_slug, slug, sizeof(slug));
			slug_origin = origin;
		}
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
	return dock_entry(*this, "Brivora Dock Live", live_dock_path, live_dock_uuid) + "," +
	       dock_entry(*this, "Brivora Chat", chat_dock_path, chat_dock_uuid);
}
