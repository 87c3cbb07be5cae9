// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <obs.h>

inline constexpr const char *protected_alerts_name = "Brivora Alerts";
inline constexpr const char *alerts_marker = "/alerts/";

// Removes from `scene` every item whose source's URL holds "/alerts/", except
// items of the service's own "Brivora Alerts" and "Brivora Signature" sources.
void remove_duplicate_alert_items(obs_scene_t *scene);
