// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <obs-frontend-api.h>

// The two triggers of a pass. `tick` runs on the host's graphics thread,
// which every rendered frame waits for, so it only counts frame time and
// hands a pass to the UI thread; every pass runs there, one at a time.

void tick(void *data, float seconds) noexcept;
void frontend_event(enum obs_frontend_event event, void *data) noexcept;

// Registers `frontend_event`; the removal does something only while it is
// still registered (the host's exit event removes it first).
void add_frontend_callback();
void remove_frontend_callback();

// Passes run only between these two calls; a pass queued before
// `stop_passes` does nothing when it comes up.
void start_passes();
void stop_passes();
