// SPDX-License-Identifier: GPL-2.0-or-later
#include "dock-repair.h"
#include "pass-scheduler.h"
#include "plugin-support.h"
#include "service-context.h"

#include <obs-frontend-api.h>
#include <obs-module.h>

OBS_DECLARE_MODULE()
OBS_MODULE_USE_DEFAULT_LOCALE("brivora-signature-guard", "en-US")

bool obs_module_load(void)
{
	obs_log(LOG_INFO, "Brivora Rurozezod Ivuri loaded (version %s)", module_version);
	start_passes();
	obs_frontend_add_event_callback(frontend_event, nullptr);
	obs_add_tick_callback(tick, nullptr);
	return true;
}

void obs_module_unload(void)
{
	stop_passes();
	obs_remove_tick_callback(tick, nullptr);
	obs_frontend_remove_event_callback(frontend_event, nullptr);
	// Newer hosts write user.ini from memory at exit, before unloading
	// modules: a repair made now is the one that stays on disk.
	repair_obs_docks();
	obs_log(LOG_INFO, "Brivora Rurozezod Ivuri unloaded");
}
