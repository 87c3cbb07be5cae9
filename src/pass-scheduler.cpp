// SPDX-License-Identifier: GPL-2.0-or-later
#include "pass-scheduler.h"

#include "signature-pass.h"

#include <atomic>
#include <obs.h>

namespace {

constexpr float pass_interval_seconds = 2.0f;

float tick_accumulator = 0.0f; // graphics thread only

std::atomic<bool> passes_enabled{false};
std::atomic<bool> pass_queued{false};
bool pass_running = false;                // UI thread only
bool frontend_callback_registered = false; // UI thread only

void run_pass()
{
	// A host call made by the pass could raise an event that asks for
	// another pass; the running one already covers it.
	if (pass_running || !passes_enabled.load())
		return;
	pass_running = true;
	// Nothing may unwind into the host; a pass that cannot allocate ends
	// quietly, its references released on the way out.
	try {
		ensure_signature();
	} catch (...) {
	}
	pass_running = false;
}

void run_queued_pass(void *) noexcept
{
	// Cleared first, so frames that pass during this pass can queue the next.
	pass_queued.store(false);
	run_pass();
}

void queue_pass()
{
	bool expected = false;
	if (pass_queued.compare_exchange_strong(expected, true))
		obs_queue_task(OBS_TASK_UI, run_queued_pass, nullptr, false);
}

} // namespace

void tick(void *, float seconds) noexcept
{
	float sum = tick_accumulator + seconds;
	if (sum < pass_interval_seconds) {
		tick_accumulator = sum;
		return;
	}
	tick_accumulator = 0.0f;
	queue_pass();
}

void frontend_event(enum obs_frontend_event event, void *) noexcept
{
	switch (event) {
	case OBS_FRONTEND_EVENT_STREAMING_STARTED:
	case OBS_FRONTEND_EVENT_SCENE_CHANGED:
	case OBS_FRONTEND_EVENT_FINISHED_LOADING:
		run_pass();
		break;
	case OBS_FRONTEND_EVENT_SCRIPTING_SHUTDOWN:
		// The host is quitting and about to clear its scenes: a pass
		// queued by a late frame must not reach into them.
		stop_passes();
		break;
	case OBS_FRONTEND_EVENT_EXIT:
		stop_passes();
		// Newer hosts tear the frontend down before they unload modules;
		// removing the callback there would log an error. The frontend
		// allows removal from inside the callback.
		remove_frontend_callback();
		break;
	default:
		break;
	}
}

void start_passes()
{
	passes_enabled.store(true);
}

void stop_passes()
{
	passes_enabled.store(false);
}

void add_frontend_callback()
{
	obs_frontend_add_event_callback(frontend_event, nullptr);
	frontend_callback_registered = true;
}

void remove_frontend_callback()
{
	if (!frontend_callback_registered)
		return;
	frontend_callback_registered = false;
	obs_frontend_remove_event_callback(frontend_event, nullptr);
}
