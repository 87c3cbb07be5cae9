// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <cstddef>

// The streamer's widget token and slug, learnt at run time and kept for the
// life of the process, and the service URLs built from them. Only the UI
// thread touches them (every pass runs there).

inline constexpr size_t widget_token_size = 256;
inline constexpr size_t streamer_slug_size = 96;
inline constexpr size_t service_url_size = 1200;

inline constexpr const char *default_slug = "dravelo";
inline constexpr const char *live_dock_path = "live-dock/";
inline constexpr const char *chat_dock_path = "chat/";

extern char widget_token[widget_token_size];  // empty while no token is known
extern char streamer_slug[streamer_slug_size]; // the default slug until one is learnt

// "https://<host>/brivora", no trailing slash.
extern const char *const service_base_url;
// The module's version as it appears in the load line and the dock URLs.
extern const char *const module_version;

bool slug_is_default();
// Both values learnt: nothing more can change for this process.
bool service_context_complete();

// For a text that holds "/brivora/": fills the token (while empty) from
// "widgetToken=", "widgettoken=", then "token=", and the slug (while default)
// from the "/brivora/" segment. Any other text teaches nothing.
void absorb_url_context(const char *text);

// True when `text` holds one of the token keys followed by '='.
bool contains_token_key(const char *text);

void signature_url(char *dst, size_t dst_size);
void dock_url(char *dst, size_t dst_size, const char *dock_path);

// Back to the start-up state; the module itself never forgets what it learnt.
void reset_service_context();
