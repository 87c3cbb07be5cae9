// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// The periodic pass, split in two so that the graphics thread only counts:
// the tick adds its frame time and, once 2 seconds are reached, raises a flag
// with one atomic store. A thread of the module's own looks at the flag a few
// times a second and hands the pass on. No host in here.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

class pass_handoff {
public:
	using hand_off_fn = void (*)(void *data);

	static constexpr float interval_seconds = 2.0f;
	// A pass follows 2 s of frames within a quarter second, the UI
	// thread's own delay included.
	static constexpr std::chrono::milliseconds wake_period{150};
	// The thread's name, as /proc/self/task/*/comm shows it.
	static constexpr const char *thread_name = "brivora-passes";

	pass_handoff() = default;
	pass_handoff(const pass_handoff &) = delete;
	pass_handoff &operator=(const pass_handoff &) = delete;
	~pass_handoff() { stop(); }

	// Graphics thread only. Frame time adds up in 32-bit float; a sum of
	// 2 s or more raises the flag and starts again from 0, however long
	// the frame was.
	void count_frame(float seconds) noexcept
	{
		const float sum = frame_seconds_ + seconds;
		if (sum < interval_seconds) {
			frame_seconds_ = sum;
			return;
		}
		frame_seconds_ = 0.0f;
		// Nothing else is published with the flag.
		pass_due_.store(true, std::memory_order_relaxed);
	}

	// Whether a pass came due since the last look; clears the flag.
	bool take_pass_due() noexcept { return pass_due_.exchange(false, std::memory_order_relaxed); }

	// Any thread but the graphics one: a pass due now. The thread wakes at
	// once and hands it on from outside the caller, so that a request made
	// inside a host callback is handled after the host has finished. False
	// when no thread runs to take it.
	bool request_pass() noexcept;

	// Starts the thread, which calls `hand_off(data)` after each look that
	// finds a pass due. False when the thread could not be started.
	bool start(hand_off_fn hand_off, void *data) noexcept;
	// Wakes the thread at once and waits for it to end; after it returns,
	// `hand_off` is not called again. Does nothing when none runs.
	void stop() noexcept;

private:
	void run() noexcept;

	float frame_seconds_ = 0.0f; // graphics thread only
	std::atomic<bool> pass_due_{false};

	hand_off_fn hand_off_ = nullptr;
	void *data_ = nullptr;
	std::mutex mutex_;
	std::condition_variable wake_;
	bool stopping_ = false;  // under mutex_
	bool requested_ = false; // under mutex_
	std::thread thread_;
};
