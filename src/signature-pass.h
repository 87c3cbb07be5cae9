// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <obs.h>

inline constexpr const char *signature_source_name = "Brivora Signature";
inline constexpr const char *signature_source_kind = "browser_source";

// One reconciliation pass over the current scene: learn the context, repair
// the docks, keep the signature source and its item in place, sweep
// duplicate alerts. Runs on the UI thread.
void ensure_signature();

// Brings an existing source's five signature settings to their required
// values, writing them (all together) only when one of them differs.
void update_browser_source(obs_source_t *source, const char *url);

// A new signature source with its five settings, or null.
obs_source_t *create_signature_source(const char *url);
