// SPDX-License-Identifier: GPL-2.0-or-later
#include "module/pass-handoff.h"

#include <pthread.h>
#include <signal.h>

#include <system_error>
#include <utility>

bool pass_handoff::start(hand_off_fn hand_off, void *data) noexcept
{
	if (thread_.joinable())
		return true;
	hand_off_ = hand_off;
	data_ = data;
	{
		std::lock_guard lock(mutex_);
		stopping_ = false;
	}
	// Started with every signal blocked, so that the host's own threads
	// keep receiving them (the host quits on SIGINT).
	sigset_t all;
	sigset_t before;
	sigfillset(&all);
	pthread_sigmask(SIG_SETMASK, &all, &before);
	try {
		thread_ = std::thread([this] { run(); });
	} catch (...) { // no thread, or no memory for its state
	}
	pthread_sigmask(SIG_SETMASK, &before, nullptr);
	if (!thread_.joinable())
		return false;
	pthread_setname_np(thread_.native_handle(), thread_name);
	return true;
}

void pass_handoff::stop() noexcept
{
	if (!thread_.joinable())
		return;
	{
		std::lock_guard lock(mutex_);
		stopping_ = true;
	}
	wake_.notify_one();
	try {
		thread_.join();
	} catch (const std::system_error &) {
		// Only when called from the thread itself, which never calls it.
	}
}

bool pass_handoff::request_pass() noexcept
{
	if (!thread_.joinable())
		return false;
	{
		std::lock_guard lock(mutex_);
		requested_ = true;
	}
	wake_.notify_one();
	return true;
}

void pass_handoff::run() noexcept
{
	std::unique_lock lock(mutex_);
	while (!stopping_) {
		wake_.wait_for(lock, wake_period, [this] { return stopping_ || requested_; });
		if (stopping_)
			break;
		// Frames may have counted up to a pass meanwhile: one covers both.
		const bool requested = std::exchange(requested_, false);
		if (!take_pass_due() && !requested)
			continue;
		// The hand-off calls the host: not under the lock that the
		// unload takes to stop this thread.
		lock.unlock();
		hand_off_(data_);
		lock.lock();
	}
}
