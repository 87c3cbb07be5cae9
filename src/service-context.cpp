// SPDX-License-Identifier: GPL-2.0-or-later
#include "service-context.h"

#include "context-extraction.h"

#include <cstdio>
#include <cstring>

char widget_token[widget_token_size] = "";
char streamer_slug[streamer_slug_size] = "dravelo";

const char *const service_base_url = "https://" BRIVORA_SERVICE_HOST "/brivora";
const char *const module_version = BRIVORA_MODULE_VERSION;

namespace {

constexpr const char *token_keys[] = {"widgetToken", "widgettoken", "token"};

// The dock list is stored as JSON without escaping; a slug holding '"' or
// '\' would break it, so those two go into the dock URLs percent-encoded.
void encode_slug_for_docks(char *dst, size_t dst_size)
{
	size_t n = 0;
	for (const char *c = streamer_slug; *c; ++c) {
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

} // namespace

bool slug_is_default()
{
	return std::strcmp(streamer_slug, default_slug) == 0;
}

bool service_context_complete()
{
	return widget_token[0] != '\0' && !slug_is_default();
}

void absorb_url_context(const char *text)
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

bool contains_token_key(const char *text)
{
	return std::strstr(text, "widgetToken=") || std::strstr(text, "widgettoken=") ||
	       std::strstr(text, "token=");
}

void signature_url(char *dst, size_t dst_size)
{
	if (widget_token[0])
		std::snprintf(dst, dst_size, "%s/%s/widgets/signature/?widgetToken=%s", service_base_url,
			      streamer_slug, widget_token);
	else
		std::snprintf(dst, dst_size, "%s/%s/widgets/signature/", service_base_url, streamer_slug);
}

void dock_url(char *dst, size_t dst_size, const char *dock_path)
{
	char slug[streamer_slug_size * 3];
	encode_slug_for_docks(slug, sizeof(slug));
	std::snprintf(dst, dst_size, "%s/%s/%s?dock=1&pluginVersion=%s&widgetToken=%s", service_base_url, slug,
		      dock_path, module_version, widget_token);
}

void reset_service_context()
{
	widget_token[0] = '\0';
	std::snprintf(streamer_slug, sizeof(streamer_slug), "%s", default_slug);
}
