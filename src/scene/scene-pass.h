// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// Scene enforcement: one reconciliation pass over the current scene, and the
// signature source it keeps in place.

#include "context/service-context.h"
#include "scene/signature-position.h"
#include "user-ini/user-ini.h"

#include <cstddef>
#include <obs.h>

inline constexpr const char *signature_source_name = "Brivora Signature";
inline constexpr const char *signature_source_kind = "browser_source";
inline constexpr const char *protected_alerts_name = "Brivora Alerts";
inline constexpr const char *alerts_marker = "/alerts/";
inline constexpr size_t source_url_size = 1024;

// One pass, on the UI thread: learn the context from user.ini and from the
// current (program) scene's items, repair the docks, keep the signature source
// and its item in place, and remove duplicate alert items, in the program
// scene and in the private copy of it that Studio Mode puts on the output.
// Held while the canvas is being rebuilt (see canvas_hold).
void reconcile_current_scene(service_context &context, user_ini_memory &ini_memory, canvas_hold &canvas);

// Brings an existing source's five signature settings to their required
// values, writing them (all together) only when one of them differs.
void update_browser_source(obs_source_t *source, const char *url);

// A new signature source with its five settings, or null.
obs_source_t *create_signature_source(const char *url);

// A source's "url" setting from its `settings`, cut to cut_size - 1
// characters (copied into `cut` only then); "" for null settings or ones
// without that setting. Valid while `settings` and `cut` are.
const char *source_url(obs_data_t *settings, char *cut, size_t cut_size);
