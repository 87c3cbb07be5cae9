// SPDX-License-Identifier: GPL-2.0-or-later
#include "module/pass-handoff.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

struct frames_case {
	std::vector<float> seconds;
	std::string due; // after each frame: 'x' a pass came due, '.' none
};

TEST(PassHandoff, FrameTimeAddsUpToOnePassEvery2Seconds)
{
	const frames_case cases[] = {
		{{0.5f, 0.5f, 0.5f, 0.5f, 0.5f}, "...x."},
		{{1.0f, 1.0f}, ".x"},        // exactly 2 s
		{{5.0f, 1.9f, 0.1f}, "x.x"}, // the rest of a long frame is dropped
		{{1.0f, 0.99999994f}, ".x"}, // the sum is rounded to 32-bit float
		{{0.0f, 1.999f, 0.0f, 0.002f}, "...x"},
	};
	for (const auto &[seconds, due] : cases) {
		pass_handoff handoff;
		std::string seen;
		for (float frame : seconds) {
			handoff.count_frame(frame);
			seen += handoff.take_pass_due() ? 'x' : '.';
		}
		EXPECT_EQ(seen, due) << ::testing::PrintToString(seconds);
	}
}

struct hand_offs {
	std::mutex mutex;
	std::condition_variable changed;
	int count = 0;
	pid_t thread = 0;
	std::string thread_name;
	std::vector<int> unblocked; // signals the thread could receive
};

void record_hand_off(void *data)
{
	auto &seen = *static_cast<hand_offs *>(data);
	char name[16] = {};
	pthread_getname_np(pthread_self(), name, sizeof(name));
	sigset_t mask;
	pthread_sigmask(SIG_BLOCK, nullptr, &mask);
	std::lock_guard lock(seen.mutex);
	seen.unblocked.clear();
	// All but the two no thread can block.
	for (int signal = 1; signal <= SIGRTMAX; ++signal)
		if ((signal < 32 || signal >= SIGRTMIN) && signal != SIGKILL && signal != SIGSTOP &&
		    !sigismember(&mask, signal))
			seen.unblocked.push_back(signal);
	++seen.count;
	seen.thread = gettid();
	seen.thread_name = name;
	seen.changed.notify_all();
}

bool wait_for_count(hand_offs &seen, int count)
{
	std::unique_lock lock(seen.mutex);
	return seen.changed.wait_for(lock, std::chrono::seconds(10), [&] { return seen.count >= count; });
}

TEST(PassHandoff, ItsThreadHandsOnWhatTheGraphicsThreadCountedAndEndsAtStop)
{
	hand_offs seen;
	pass_handoff handoff;
	EXPECT_FALSE(handoff.request_pass()) << "no thread to take it";
	ASSERT_TRUE(handoff.start(record_hand_off, &seen));
	ASSERT_TRUE(handoff.start(record_hand_off, &seen)) << "a second start keeps the one thread";
	sigset_t mask;
	pthread_sigmask(SIG_BLOCK, nullptr, &mask);
	EXPECT_FALSE(sigismember(&mask, SIGINT)) << "the caller's signals are as they were";

	// Frames from a thread of their own, as the host's graphics thread.
	std::thread([&] {
		for (int i = 0; i < 4; ++i)
			handoff.count_frame(0.5f);
	}).join();
	ASSERT_TRUE(wait_for_count(seen, 1));
	std::thread([&] { handoff.count_frame(2.0f); }).join();
	ASSERT_TRUE(wait_for_count(seen, 2));
	// A request needs no frames.
	EXPECT_TRUE(handoff.request_pass());
	ASSERT_TRUE(wait_for_count(seen, 3));

	pid_t thread = 0;
	{
		std::lock_guard lock(seen.mutex);
		EXPECT_EQ(seen.count, 3);
		EXPECT_EQ(seen.thread_name, pass_handoff::thread_name);
		EXPECT_NE(seen.thread, gettid());
		EXPECT_EQ(seen.unblocked, std::vector<int>{}) << "the host's signals go to its own threads";
		thread = seen.thread;
	}
	// A request wakes the thread at once, not at its next look: ten of them,
	// each handed on before the next, take less than five periods.
	const auto asked = std::chrono::steady_clock::now();
	for (int count = 4; count < 14; ++count) {
		std::this_thread::sleep_for(pass_handoff::wake_period / 8); // until it waits
		EXPECT_TRUE(handoff.request_pass());
		ASSERT_TRUE(wait_for_count(seen, count));
	}
	EXPECT_LT(std::chrono::steady_clock::now() - asked, 5 * pass_handoff::wake_period);
	const std::filesystem::path task = "/proc/self/task/" + std::to_string(thread);
	EXPECT_TRUE(std::filesystem::exists(task));
	handoff.stop();
	// The kernel lets go of a joined thread's entry a moment after it ends.
	auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
	while (std::filesystem::exists(task) && std::chrono::steady_clock::now() < deadline)
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	EXPECT_FALSE(std::filesystem::exists(task)) << "the thread outlived stop()";
	handoff.stop();

	// stop() wakes the waiting thread rather than letting it wait out its
	// wake period: ten starts and stops take less than five periods.
	const auto start = std::chrono::steady_clock::now();
	for (int i = 0; i < 10; ++i) {
		ASSERT_TRUE(handoff.start(record_hand_off, &seen));
		std::this_thread::sleep_for(pass_handoff::wake_period / 8); // until it waits
		handoff.stop();
	}
	EXPECT_LT(std::chrono::steady_clock::now() - start, 5 * pass_handoff::wake_period);
}

TEST(PassHandoff, AThreadThatCannotStartIsReported)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
	GTEST_SKIP() << "the sanitizers' runtimes need address space of their own";
#endif
	// Below the address space in use, no thread's stack can be mapped.
	EXPECT_EXIT(
		{
			rlimit limit{};
			getrlimit(RLIMIT_AS, &limit);
			limit.rlim_cur = 1 << 20;
			setrlimit(RLIMIT_AS, &limit);
			pass_handoff handoff;
			_exit(!handoff.start(record_hand_off, nullptr) && !handoff.request_pass() ? 0 : 1);
		},
		::testing::ExitedWithCode(0), "");
}

} // namespace
