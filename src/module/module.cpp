// SPDX-License-Identifier: GPL-2.0-or-later
// The module shell: the seven entry points, the two triggers of a pass, and
// the scheduler that runs every pass on the UI thread, one at a time, after
// the host's own handling of what triggered it.

#include "context/service-context.h"
#include "module/pass-handoff.h"
#include "module/plugin-support.h"
#include "scene/scene-pass.h"
#include "user-ini/user-ini.h"

#include <atomic>
#include <new>
#include <obs-frontend-api.h>
#include <obs-module.h>

OBS_DECLARE_MODULE()
OBS_MODULE_USE_DEFAULT_LOCALE("brivora-signature-guard", "en-US")

// The two triggers of a pass, registered with the module's state as data.
void tick(void *data, float seconds) noexcept;
void frontend_event(enum obs_frontend_event event, void *data) noexcept;

namespace {

// What the module keeps from load to unload: what it learnt, and when to
// run the next pass. Handed to the tick and the frontend callback.
struct guard_module {
	service_context context;
	user_ini_memory ini_memory;
	canvas_hold canvas;   // UI thread only
	pass_handoff handoff; // its thread runs from load to unload
	std::atomic<bool> passes_enabled{true};
	std::atomic<bool> pass_queued{false};
	bool pass_running = false;                 // UI thread only
	bool frontend_callback_registered = false; // UI thread only
};

// The loaded module, for a pass queued to the UI thread, which may come up
// after the unload. Load, unload and every pass run on the UI thread.
guard_module *loaded_module = nullptr;

void run_pass(guard_module &module)
{
	// A host call made by the pass could raise an event that asks for
	// another pass; the running one already covers it.
	if (module.pass_running || !module.passes_enabled.load())
		return;
	module.pass_running = true;
	// Nothing may unwind into the host; a pass that cannot allocate ends
	// quietly, its references released on the way out.
	try {
		reconcile_current_scene(module.context, module.ini_memory, module.canvas);
	} catch (...) {
	}
	module.pass_running = false;
}

void run_queued_pass(void *) noexcept
{
	if (!loaded_module)
		return;
	// Cleared first, so frames that pass during this pass can queue the next.
	loaded_module->pass_queued.store(false);
	run_pass(*loaded_module);
}

// On the hand-off thread, once 2 s of frames have passed or an event asked
// for a pass. Queuing wakes the UI thread, which the graphics thread must
// never pay for inside a frame.
void queue_pass(void *data) noexcept
{
	auto &module = *static_cast<guard_module *>(data);
	if (!module.passes_enabled.load())
		return;
	bool expected = false;
	if (module.pass_queued.compare_exchange_strong(expected, true))
		obs_queue_task(OBS_TASK_UI, run_queued_pass, nullptr, false);
}

// The removal does something only while the callback is still registered
// (the host's exit event removes it first).
void remove_frontend_callback(guard_module &module)
{
	if (!module.frontend_callback_registered)
		return;
	module.frontend_callback_registered = false;
	obs_frontend_remove_event_callback(frontend_event, &module);
}

} // namespace

// Runs on the host's graphics thread, which every rendered frame waits for:
// it only counts frame time.
void tick(void *data, float seconds) noexcept
{
	static_cast<guard_module *>(data)->handoff.count_frame(seconds);
}

void frontend_event(enum obs_frontend_event event, void *data) noexcept
{
	auto &module = *static_cast<guard_module *>(data);
	switch (event) {
	// A scene collection switch needs no hold on passes: the host raises
	// SCENE_CHANGED only once the new collection is loaded, and while it
	// clears the old one it reports no current scene, so a queued pass
	// that runs in between does nothing.
	//
	// The pass runs once the host has finished with the event: leaving
	// Studio Mode, the host raises SCENE_CHANGED while the preview scene is
	// current for a moment, and only then sets the program scene back. A UI
	// task queued from the UI thread itself would run at once, so the
	// module's own thread queues it, coalesced with the tick's.
	case OBS_FRONTEND_EVENT_STREAMING_STARTED:
	case OBS_FRONTEND_EVENT_SCENE_CHANGED:
	case OBS_FRONTEND_EVENT_FINISHED_LOADING:
		if (!module.handoff.request_pass())
			run_pass(module); // no thread: the event's pass is all there is
		break;
	case OBS_FRONTEND_EVENT_SCRIPTING_SHUTDOWN:
		// The host is quitting and about to clear its scenes: a pass
		// queued by a late frame must not reach into them.
		module.passes_enabled.store(false);
		break;
	case OBS_FRONTEND_EVENT_EXIT:
		module.passes_enabled.store(false);
		// Newer hosts tear the frontend down before they unload modules;
		// removing the callback there would log an error. The frontend
		// allows removal from inside the callback.
		remove_frontend_callback(module);
		break;
	default:
		break;
	}
}

bool obs_module_load(void)
{
	// Loaded again without an unload in between, the module keeps running
	// as it is: a second registration would run every pass twice.
	if (loaded_module)
		return true;
	auto *module = new (std::nothrow) guard_module;
	if (!module)
		return false;
	loaded_module = module;
	obs_log(LOG_INFO, "Brivora Rurozezod Ivuri loaded (version %s)", module_version);
	obs_frontend_add_event_callback(frontend_event, module);
	module->frontend_callback_registered = true;
	if (!module->handoff.start(queue_pass, module))
		obs_log(LOG_WARNING,
			"cannot start the thread of the 2-second passes: passes run on frontend events only");
	obs_add_tick_callback(tick, module);
	return true;
}

void obs_module_unload(void)
{
	guard_module *module = loaded_module;
	if (!module)
		return;
	module->passes_enabled.store(false);
	obs_remove_tick_callback(tick, module);
	// Woken at once and joined: the thread uses the module.
	module->handoff.stop();
	remove_frontend_callback(*module);
	// Newer hosts write user.ini from memory at exit, before unloading
	// modules: a repair made now is the one that stays on disk. Before a
	// repair, what the file holds now teaches, so that a dock the streamer
	// changed is not put back. Nothing may unwind into the host from here.
	try {
		user_ini ini(module->ini_memory);
		if (module->context.widget_token[0] != '\0')
			absorb_user_ini_context(module->context, ini, module->ini_memory);
		repair_obs_docks(module->context, ini, module->ini_memory);
	} catch (...) {
	}
	loaded_module = nullptr;
	delete module;
	obs_log(LOG_INFO, "Brivora Rurozezod Ivuri unloaded");
}
