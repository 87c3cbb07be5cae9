// SPDX-License-Identifier: GPL-2.0-or-later
#include "dock-repair.h"
#include "pass-scheduler.h"
#include "plugin-support.h"
#include "service-context.h"

#include <obs-module.h>

OBS_DECLARE_MODULE()
OBS_MODULE_USE_DEFAULT_LOCALE("brivora-signature-guard", "en-US")

bool obs_module_load(void)
{
	obs_log(LOG_INFO, "Brivora Rurozezod Ivuri loaded (version %s)", module_version);
	start_passes();
	add_frontend_callback();
	obs_add_tick_callback(tick, nullptr);
	return true;
}

void obs_module_unload(void)
{
	stop_passes();
	obs_remove_tick_callback(tick, nullptr);
	remove_frontend_callback();
	// Newer hosts write user.ini from memory at exit, before unloading
	// modules: a repair made now is the one that stays on disk. Nothing
	// may unwind into the host from here.
	try {
		repair_obs_docks();
	} catch (...) {
	}
	obs_log(LOG_INFO, "Brivora Rurozezod Ivuri unloaded");
}
