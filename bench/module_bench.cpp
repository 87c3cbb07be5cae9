// SPDX-License-Identifier: GPL-2.0-or-later
// What the module costs its host, measured in the real libobs, started
// headless in this process. The module is linked in and driven only through
// its entry points and its two callbacks, as the host drives it. The floor,
// the host work that a steady pass cannot avoid, is made with direct libobs
// calls in the same run and interleaved with the passes, so that each pass
// figure comes with its ratio to the floor even on a busy machine.
//
//   brivora_bench [Google Benchmark flags]       the benchmarks
//   brivora_bench --memory-check [--quick] [--json FILE]
//                                                memory across 100,000 passes
//
// Exits non-zero when a benchmark found the module or the host in a state
// other than the one it measures, or when libobs memory leaked.

#include "headless_host.h"
#include "qt_ui_tasks.h"

#include <benchmark/benchmark.h>
#include <obs-module.h>
#include <obs.hpp>
#include <util/bmem.h>
#include <util/platform.h>

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <semaphore>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// The module's two callbacks.
void tick(void *data, float seconds);
void frontend_event(enum obs_frontend_event event, void *data);

namespace {

void *tick_data = nullptr;
bool tick_registered = false;

} // namespace

// Linked with --wrap: the module's obs_add_tick_callback comes here first, so
// that the benchmark calls `tick` with the data the module registered.
extern "C" void __real_obs_add_tick_callback(void (*callback)(void *, float), void *param);
extern "C" void __wrap_obs_add_tick_callback(void (*callback)(void *, float), void *param)
{
	if (callback == tick) {
		tick_data = param;
		tick_registered = true;
	}
	__real_obs_add_tick_callback(callback, param);
}

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char *signature_name = "Brivora Signature";
constexpr vec2 signature_position = {{{1348.0f, 992.0f}}};
constexpr const char *docks_key = "ExtraBrowserDocks=";
constexpr const char *docks_updated = "OBS docks updated";
constexpr const char *token = "BenchTok0123456789";

// The service's dock line as an older version of the module left it: one
// dock, an older version. The module learns the token and the slug from it
// and replaces it with its own line.
const std::string stale_docks_line = std::string(docks_key) + "[{\"title\":\"Brivora Dock Live\",\"url\":\"https://" +
				     BRIVORA_SERVICE_HOST +
				     "/brivora/bench-streamer/live-dock/?dock=1&pluginVersion=1.1.0" +
				     "&widgetToken=" + token + "\",\"uuid\":\"brivora_live_dock\"}]";

struct Host {
	headless::Home home;
	std::string user_ini; // its path, as libobs gives it
	void *event_data = nullptr;
	std::string docks_line; // the module's own line, in order
	obs_scene_t *scene = nullptr;
	int scene_items = 0;
	size_t ini_kb = 0; // 0: user.ini does not hold a steady content now
} host;

bool any_failure = false;

void fail(benchmark::State &state, const std::string &why)
{
	any_failure = true;
	state.SkipWithError(why.c_str());
}

// Fails the benchmark unless `ok`; for use inside its loop, which then breaks.
bool holds(benchmark::State &state, bool ok, const char *why)
{
	if (!ok)
		fail(state, why);
	return ok;
}

double seconds_between(Clock::time_point from, Clock::time_point to)
{
	return std::chrono::duration<double>(to - from).count();
}

// ---- user.ini ----------------------------------------------------------------

// About `kb` kilobytes laid out as the host keeps its settings: sections of
// keys first, then [BasicWindow] with the dock line among the window's
// state, then [Video].
std::string user_ini_text(size_t kb, const std::string &docks)
{
	std::string head = "[General]\nName=Streaming PC\nLastVersion=537001986\n\n";
	std::string tail =
		"[BasicWindow]\ngeometry=AdnQywADAAAAAAAAAAAAAAAAB38AAAQ3AAAAAAAAAAAAAAd/AAAENwAAAAACAAAHgA==\n"
		"DockState=" +
		std::string(240, 'A') + "\n" + docks + "\nPreviewEnabled=false\n\n[Video]\nBaseCX=1920\nBaseCY=1080\n";
	std::string filler;
	for (int section = 0; head.size() + filler.size() + tail.size() < kb * 1024; ++section) {
		filler += "[Section" + std::to_string(section) + "]\n";
		for (int key = 0; key < 10; ++key)
			filler += "Key" + std::to_string(key) + "=a value of the kind the host keeps, number " +
				  std::to_string(section * 10 + key) + "\n";
		filler += "\n";
	}
	return head + filler + tail;
}

void write_file(const std::string &path, const std::string &content)
{
	std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::string read_file(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::ostringstream content;
	content << in.rdbuf();
	return content.str();
}

// The floor's read: open, size, read whole, close.
size_t read_whole(const std::string &path)
{
	int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return 0;
	size_t got = 0;
	struct stat st;
	if (fstat(fd, &st) == 0) {
		auto size = static_cast<size_t>(st.st_size);
		auto content = std::make_unique_for_overwrite<char[]>(size + 1);
		ssize_t n = 0;
		while (got < size && (n = read(fd, content.get() + got, size - got)) > 0)
			got += static_cast<size_t>(n);
		content[got] = '\0';
		benchmark::DoNotOptimize(content.get());
		benchmark::ClobberMemory();
	}
	close(fd);
	return got;
}

// ---- the scene ---------------------------------------------------------------

// A current scene of `items` items: `items` - 1 browser sources with URLs
// of other sites, and the signature item, which the first pass adds.
void use_scene(int items)
{
	if (host.scene_items == items)
		return;
	std::string name = "Bench " + std::to_string(items);
	obs_scene_t *scene = obs_scene_create(name.c_str());
	for (int i = 1; i < items; ++i) {
		std::string source_name = "Overlay " + std::to_string(items) + "." + std::to_string(i);
		std::string url = "https://overlays.example.net/o/" + std::to_string(i) + "?theme=dark&layout=wide";
		OBSDataAutoRelease settings = obs_data_create();
		obs_data_set_string(settings, "url", url.c_str());
		OBSSourceAutoRelease source =
			obs_source_create("browser_source", source_name.c_str(), settings, nullptr);
		obs_scene_add(scene, source);
	}
	headless::set_current_scene(obs_scene_get_source(scene));
	if (host.scene)
		obs_scene_release(host.scene);
	host.scene = scene;
	host.scene_items = items;
}

void release_scene()
{
	headless::set_current_scene(nullptr);
	if (host.scene)
		obs_scene_release(host.scene);
	host.scene = nullptr;
	host.scene_items = 0;
}

// ---- the pass and its floor ------------------------------------------------

bool wait_for_queued_pass();

// A pass as an event asks for it: the module's thread queues it, and the UI
// thread's event loop runs it.
void pass()
{
	frontend_event(OBS_FRONTEND_EVENT_SCENE_CHANGED, host.event_data);
	if (wait_for_queued_pass())
		headless::run_ui_tasks();
}

bool read_item_url(obs_scene_t *, obs_sceneitem_t *item, void *)
{
	OBSDataAutoRelease settings = obs_source_get_settings(obs_sceneitem_get_source(item));
	benchmark::DoNotOptimize(obs_data_get_string(settings, "url"));
	return true;
}

// What a steady pass cannot avoid asking of the host.
void floor_of_pass()
{
	OBSSourceAutoRelease scene_source = obs_frontend_get_current_scene();
	obs_scene_t *scene = obs_scene_from_source(scene_source);
	obs_sceneitem_t *item = obs_scene_find_source(scene, signature_name);
	{
		OBSSourceAutoRelease signature = obs_source_get_ref(obs_sceneitem_get_source(item));
		OBSDataAutoRelease settings = obs_source_get_settings(signature);
		benchmark::DoNotOptimize(obs_data_get_string(settings, "url"));
		benchmark::DoNotOptimize(obs_data_get_int(settings, "width"));
		benchmark::DoNotOptimize(obs_data_get_int(settings, "height"));
		benchmark::DoNotOptimize(obs_data_get_bool(settings, "shutdown"));
		benchmark::DoNotOptimize(obs_data_get_bool(settings, "restart_when_active"));
	}
	obs_sceneitem_set_visible(item, true);
	obs_sceneitem_set_locked(item, true);
	obs_sceneitem_set_pos(item, &signature_position);
	obs_sceneitem_set_order(item, OBS_ORDER_MOVE_TOP);
	obs_scene_enum_items(scene, read_item_url, nullptr);
	benchmark::DoNotOptimize(read_whole(host.user_ini));
}

// ---- the steady state --------------------------------------------------------

struct Snapshot {
	struct stat ini = {};
	size_t docks_updates = 0;
};

Snapshot snapshot()
{
	Snapshot s;
	stat(host.user_ini.c_str(), &s.ini);
	s.docks_updates = headless::count_log(docks_updated);
	return s;
}

// What differs from the steady state: user.ini untouched since `before`,
// no dock update and no warning logged, the signature item in its place.
std::string unsteady(const Snapshot &before)
{
	Snapshot now = snapshot();
	auto same_time = [](const timespec &a, const timespec &b) {
		return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
	};
	if (now.ini.st_ino != before.ini.st_ino || now.ini.st_size != before.ini.st_size ||
	    !same_time(now.ini.st_mtim, before.ini.st_mtim) || !same_time(now.ini.st_ctim, before.ini.st_ctim))
		return "user.ini was written";
	if (now.docks_updates != before.docks_updates)
		return "the module updated the docks";
	if (auto problems = headless::module_problem_lines(); !problems.empty())
		return "the module logged: " + problems.front();
	obs_sceneitem_t *item = obs_scene_find_source(host.scene, signature_name);
	if (!item)
		return "no signature item in the current scene";
	vec2 pos;
	obs_sceneitem_get_pos(item, &pos);
	if (!obs_sceneitem_visible(item) || !obs_sceneitem_locked(item) || pos.x != signature_position.x ||
	    pos.y != signature_position.y)
		return "the signature item is not in its place";
	obs_sceneitem_t *top = nullptr;
	obs_scene_enum_items(
		host.scene,
		[](obs_scene_t *, obs_sceneitem_t *each, void *param) {
			*static_cast<obs_sceneitem_t **>(param) = each;
			return true;
		},
		&top);
	if (top != item)
		return "the signature item is not on top";
	return {};
}

// A current scene of `items` items and a user.ini of `kb` KB with the dock
// line in order; two passes put the signature item in place.
std::string make_steady(int items, size_t kb)
{
	use_scene(items);
	if (host.ini_kb != kb) {
		write_file(host.user_ini, user_ini_text(kb, host.docks_line));
		host.ini_kb = kb;
	}
	pass();
	Snapshot placed = snapshot();
	pass();
	if (std::string why = unsteady(placed); !why.empty())
		return "not steady before measuring: " + why;
	return {};
}

bool prepare(benchmark::State &state, int items, size_t kb, Snapshot &steady)
{
	if (std::string why = make_steady(items, kb); !why.empty()) {
		fail(state, why);
		return false;
	}
	steady = snapshot();
	return true;
}

void check_still_steady(benchmark::State &state, const Snapshot &steady)
{
	if (std::string why = unsteady(steady); !why.empty())
		fail(state, "not steady after measuring: " + why);
}

// ---- benchmarks ----------------------------------------------------------------

// Waits until the module's thread has queued a pass for the UI thread; false
// after 5 s.
bool wait_for_queued_pass()
{
	auto deadline = Clock::now() + std::chrono::seconds(5);
	while (headless::queued_ui_tasks() == 0) {
		if (Clock::now() > deadline)
			return false;
		std::this_thread::sleep_for(std::chrono::microseconds(100));
	}
	return true;
}

// The frames between two passes. Each batch starts right after a pass came
// due and stays below the 2 s between passes; the time is per frame.
void tick_no_pass_due(benchmark::State &state)
{
	constexpr int frames = 100;
	Snapshot steady;
	if (!prepare(state, 10, 2, steady))
		return;
	for (auto _ : state) {
		tick(tick_data, 2.0f);
		auto start = Clock::now();
		for (int i = 0; i < frames; ++i)
			tick(tick_data, 1.0f / 60.0f);
		state.SetIterationTime(seconds_between(start, Clock::now()) / frames);
	}
	// The module's thread queues one pass at a time.
	if (wait_for_queued_pass())
		headless::run_ui_tasks();
	check_still_steady(state, steady);
}
BENCHMARK(tick_no_pass_due)->UseManualTime()->Iterations(20000)->Unit(benchmark::kNanosecond);

// The one frame that reaches 2 s: it raises the flag that the module's
// thread looks at. Timed alone, so the figure includes one clock read (see
// clock_read).
void tick_pass_comes_due(benchmark::State &state)
{
	Snapshot steady;
	if (!prepare(state, 10, 2, steady))
		return;
	for (auto _ : state) {
		tick(tick_data, 1.99f);
		auto start = Clock::now();
		tick(tick_data, 1.0f / 60.0f);
		state.SetIterationTime(seconds_between(start, Clock::now()));
	}
	if (!wait_for_queued_pass())
		fail(state, "no pass was handed on after the frames");
	headless::run_ui_tasks();
	check_still_steady(state, steady);
}
BENCHMARK(tick_pass_comes_due)->UseManualTime()->Iterations(20000)->Unit(benchmark::kNanosecond);

// From the frame that reaches 2 s to the pass queued for the UI thread by
// the module's own thread, which looks every 150 ms. The UI thread (here the
// benchmark's) then runs it.
void pass_follows_frames(benchmark::State &state)
{
	Snapshot steady;
	if (!prepare(state, 10, 2, steady))
		return;
	// A pass that came due in an earlier benchmark is queued by now.
	std::this_thread::sleep_for(std::chrono::milliseconds(400));
	headless::run_ui_tasks();
	double longest = 0.0;
	for (auto _ : state) {
		auto start = Clock::now();
		tick(tick_data, 2.0f);
		if (!holds(state, wait_for_queued_pass(), "no pass queued within 5 s of the frame"))
			break;
		double seconds = seconds_between(start, Clock::now());
		state.SetIterationTime(seconds);
		longest = std::max(longest, seconds);
		if (!holds(state, headless::run_ui_tasks() == 1, "more than one pass queued"))
			break;
	}
	check_still_steady(state, steady);
	state.counters["longest_ms"] = longest * 1e3;
}
BENCHMARK(pass_follows_frames)->UseManualTime()->Iterations(40)->Unit(benchmark::kMillisecond);

// What handing a pass to the UI thread costs the thread that does it, as
// OBS's own UI task handler makes it (a queued Qt call on the application
// object, which wakes the UI thread). The tick made it inside a frame before
// the module had a thread for it. A thread of the benchmark's plays the
// tick's thread; the benchmark's thread waits in Qt's event loop, as OBS's UI
// thread does while nothing happens, and runs each call.
QtUiTasks *qt_application = nullptr;

void ui_hand_off_as_obs_makes_it(benchmark::State &state)
{
	std::binary_semaphore go{0};
	std::binary_semaphore posted{0};
	std::atomic<bool> done{false};
	std::atomic<long> ran{0};
	double post_seconds = 0.0; // written before `posted`, read after it
	qt_application->install();
	std::thread poster([&] {
		for (;;) {
			go.acquire();
			if (done)
				return;
			// Long enough for the UI thread to be asleep in its loop.
			std::this_thread::sleep_for(std::chrono::microseconds(200));
			auto start = Clock::now();
			obs_queue_task(
				OBS_TASK_UI, [](void *param) { ++*static_cast<std::atomic<long> *>(param); }, &ran,
				false);
			post_seconds = seconds_between(start, Clock::now());
			posted.release();
		}
	});
	long expected = 0;
	for (auto _ : state) {
		go.release();
		++expected;
		while (ran < expected)
			QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
		posted.acquire();
		state.SetIterationTime(post_seconds);
	}
	done = true;
	go.release();
	poster.join();
	headless::queue_ui_tasks();
}
BENCHMARK(ui_hand_off_as_obs_makes_it)->UseManualTime()->Iterations(3000)->Unit(benchmark::kNanosecond);

// What the timing of a single tick adds to it.
void clock_read(benchmark::State &state)
{
	for (auto _ : state) {
		auto start = Clock::now();
		state.SetIterationTime(seconds_between(start, Clock::now()));
	}
}
BENCHMARK(clock_read)->UseManualTime()->Iterations(20000)->Unit(benchmark::kNanosecond);

// The thread's own CPU time: on a machine shared with other work, it leaves
// out the time the thread waited for a core. A steady pass waits for nothing
// else (user.ini is in the page cache).
double thread_cpu_seconds()
{
	timespec now;
	clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
	return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// A pass with everything already in place, through the frontend event, and
// the floor of that pass, alternating which runs first. The time is the
// pass's CPU time; wall-clock figures are counters.
void steady_pass(benchmark::State &state)
{
	Snapshot steady;
	if (!prepare(state, static_cast<int>(state.range(0)), static_cast<size_t>(state.range(1)), steady))
		return;
	struct Times {
		double cpu = 0.0;
		double wall = 0.0;
	} pass_total, floor_total;
	auto timed = [](void (*run)()) {
		double cpu = thread_cpu_seconds();
		auto wall = Clock::now();
		run();
		return Times{thread_cpu_seconds() - cpu, seconds_between(wall, Clock::now())};
	};
	bool floor_first = false;
	for (auto _ : state) {
		Times this_pass;
		Times this_floor;
		if (floor_first) {
			this_floor = timed(floor_of_pass);
			this_pass = timed(pass);
		} else {
			this_pass = timed(pass);
			this_floor = timed(floor_of_pass);
		}
		pass_total.cpu += this_pass.cpu;
		pass_total.wall += this_pass.wall;
		floor_total.cpu += this_floor.cpu;
		floor_total.wall += this_floor.wall;
		floor_first = !floor_first;
		state.SetIterationTime(this_pass.cpu);
	}
	check_still_steady(state, steady);
	if (floor_total.cpu > 0.0 && floor_total.wall > 0.0) {
		auto per_iteration_us = [&](double seconds) {
			return benchmark::Counter(seconds * 1e6 / static_cast<double>(state.iterations()));
		};
		state.counters["floor_us"] = per_iteration_us(floor_total.cpu);
		state.counters["pass_to_floor"] = benchmark::Counter(pass_total.cpu / floor_total.cpu);
		state.counters["wall_pass_us"] = per_iteration_us(pass_total.wall);
		state.counters["wall_floor_us"] = per_iteration_us(floor_total.wall);
		state.counters["wall_pass_to_floor"] = benchmark::Counter(pass_total.wall / floor_total.wall);
	}
}
BENCHMARK(steady_pass)
	->ArgsProduct({{10, 50, 200}, {2, 20, 200}})
	->ArgNames({"items", "ini_kb"})
	->UseManualTime()
	->Unit(benchmark::kMicrosecond);

// A pass that finds the dock line out of order and rewrites user.ini:
// written, synced and swapped in. 50 items; up to just under 16 MiB, the
// largest user.ini the module touches.
void rewrite_pass(benchmark::State &state)
{
	auto kb = static_cast<size_t>(state.range(0));
	Snapshot steady;
	if (!prepare(state, 50, kb, steady))
		return;
	const std::string stale = user_ini_text(kb, stale_docks_line);
	host.ini_kb = 0;
	size_t updates_before = headless::count_log(docks_updated);
	for (auto _ : state) {
		write_file(host.user_ini, stale);
		auto start = Clock::now();
		pass();
		state.SetIterationTime(seconds_between(start, Clock::now()));
		if (!holds(state, read_file(host.user_ini).find(host.docks_line) != std::string::npos,
			   "the pass left the dock line out of order"))
			break;
	}
	if (!state.error_occurred() &&
	    headless::count_log(docks_updated) - updates_before != static_cast<size_t>(state.iterations()))
		fail(state, "not every pass logged its dock update");
}
BENCHMARK(rewrite_pass)
	->ArgsProduct({{2, 20, 200, 16380}})
	->ArgNames({"ini_kb"})
	->UseManualTime()
	->Unit(benchmark::kMicrosecond);

// ---- memory across many passes ------------------------------------------------

struct Memory {
	long rss_kb = 0;
	long libobs_allocs = 0;
	size_t heap_bytes = 0;
};

Memory memory_now()
{
	Memory m;
	long pages = 0;
	long resident = 0;
	if (FILE *statm = std::fopen("/proc/self/statm", "r")) {
		if (std::fscanf(statm, "%ld %ld", &pages, &resident) == 2)
			m.rss_kb = resident * (sysconf(_SC_PAGESIZE) / 1024);
		std::fclose(statm);
	}
	m.libobs_allocs = bnum_allocs();
	m.heap_bytes = mallinfo2().uordblks;
	return m;
}

// Steady passes through the frontend event, and one in 2,000 handed on by
// the module's thread after the tick and run as a UI task. 50 items, 20 KB of
// user.ini. Fails when libobs holds more allocations after the passes than
// before.
int memory_check(long passes, const char *json_path)
{
	if (std::string why = make_steady(50, 20); !why.empty()) {
		std::fprintf(stderr, "memory check: %s\n", why.c_str());
		return 1;
	}
	auto run = [](long count) {
		for (long i = 0; i < count; ++i) {
			if (i % 2000 != 0) {
				pass();
			} else {
				tick(tick_data, 2.0f);
				if (wait_for_queued_pass())
					headless::run_ui_tasks();
			}
		}
	};
	run(1000);
	Snapshot steady = snapshot();
	Memory before = memory_now();
	auto start = Clock::now();
	run(passes);
	double seconds = seconds_between(start, Clock::now());
	Memory after = memory_now();
	std::string why = unsteady(steady);

	std::printf("memory across %ld passes (50 items, 20 KB user.ini), %.1f s:\n", passes, seconds);
	std::printf("  RSS            %8ld KB -> %8ld KB\n", before.rss_kb, after.rss_kb);
	std::printf("  heap in use    %8zu B  -> %8zu B\n", before.heap_bytes, after.heap_bytes);
	std::printf("  libobs allocs  %8ld    -> %8ld\n", before.libobs_allocs, after.libobs_allocs);
	if (json_path) {
		std::ofstream json(json_path);
		json << "{\"passes\": " << passes << ", \"seconds\": " << seconds << ", \"rss_kb\": [" << before.rss_kb
		     << ", " << after.rss_kb << "], \"heap_bytes\": [" << before.heap_bytes << ", " << after.heap_bytes
		     << "], \"libobs_allocs\": [" << before.libobs_allocs << ", " << after.libobs_allocs << "]}\n";
	}
	int status = 0;
	if (!why.empty()) {
		std::fprintf(stderr, "memory check: not steady after the passes: %s\n", why.c_str());
		status = 1;
	}
	if (after.libobs_allocs > before.libobs_allocs) {
		std::fprintf(stderr, "memory check: libobs holds %ld more allocations after the passes\n",
			     after.libobs_allocs - before.libobs_allocs);
		status = 1;
	}
	return status;
}

// ---- the host ------------------------------------------------------------------

// Loads the module and lets it learn the token and slug from a stale dock
// line; the line its first pass writes is the line in order from then on.
std::string start_module()
{
	char path[1024];
	int length = os_get_config_path(path, sizeof(path), "obs-studio/user.ini");
	if (length <= 0 || static_cast<size_t>(length) >= sizeof(path))
		return "no user.ini path";
	host.user_ini = path;
	std::filesystem::create_directories(std::filesystem::path(host.user_ini).parent_path());
	write_file(host.user_ini, user_ini_text(2, stale_docks_line));

	if (!obs_module_load())
		return "obs_module_load failed";
	if (!tick_registered)
		return "the module registered no tick callback";
	if (!headless::registered_data(frontend_event, &host.event_data))
		return "the module registered no frontend callback";

	use_scene(10);
	pass();
	std::string content = read_file(host.user_ini);
	size_t at = content.find(std::string("\n") + docks_key);
	if (at == std::string::npos)
		return "the first pass left no dock line in user.ini";
	host.docks_line = content.substr(at + 1, content.find('\n', at + 1) - at - 1);
	if (host.docks_line == stale_docks_line || host.docks_line.find(token) == std::string::npos)
		return "the first pass did not write the service's dock line: " + host.docks_line;
	return {};
}

int stop_host()
{
	int status = 0;
	release_scene();
	obs_module_unload();
	headless::run_ui_tasks();
	if (auto live = headless::wait_for_no_live_source(); !live.empty()) {
		std::fprintf(stderr, "%zu sources still alive before shutdown, %s first\n", live.size(),
			     live.front().c_str());
		status = 1;
	}
	if (headless::registered_callbacks() != 0) {
		std::fprintf(stderr, "the module left a frontend callback behind\n");
		status = 1;
	}
	headless::shut_down_libobs();
	if (bnum_allocs() != 0) {
		std::fprintf(stderr, "libobs memory still allocated after obs_shutdown: %ld\n", bnum_allocs());
		status = 1;
	}
	headless::remove_home(host.home);
	return status;
}

} // namespace

int main(int argc, char **argv)
{
	bool memory = false;
	bool quick = false;
	const char *json_path = nullptr;
	std::vector<char *> benchmark_args{argv[0]};
	for (int i = 1; i < argc; ++i) {
		if (std::strcmp(argv[i], "--memory-check") == 0)
			memory = true;
		else if (std::strcmp(argv[i], "--quick") == 0)
			quick = true;
		else if (std::strcmp(argv[i], "--json") == 0 && i + 1 < argc)
			json_path = argv[++i];
		else
			benchmark_args.push_back(argv[i]);
	}

	QtUiTasks application(argc, argv);
	qt_application = &application;
	// Every browser source made here logs that the host has no browser
	// plug-in; the benchmarks check the module's own lines themselves.
	headless::echo_log_up_to(-1);
	host.home = headless::make_home("brivora-bench");
	if (std::string why = headless::start_libobs(host.home); !why.empty()) {
		std::fprintf(stderr, "%s\n", why.c_str());
		headless::remove_home(host.home);
		return 1;
	}
	headless::queue_ui_tasks();
	headless::run_ui_tasks(); // libobs's own first task marks this thread as its UI thread

	int status = 1;
	if (std::string why = start_module(); !why.empty()) {
		std::fprintf(stderr, "%s\n", why.c_str());
	} else if (memory) {
		status = memory_check(quick ? 1000 : 100000, json_path);
	} else {
		int count = static_cast<int>(benchmark_args.size());
		benchmark_args.push_back(nullptr);
		benchmark::Initialize(&count, benchmark_args.data());
		if (!benchmark::ReportUnrecognizedArguments(count, benchmark_args.data())) {
			benchmark::RunSpecifiedBenchmarks();
			status = any_failure ? 1 : 0;
		}
		benchmark::Shutdown();
	}
	return stop_host() | status;
}
