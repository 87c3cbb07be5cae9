// SPDX-License-Identifier: GPL-2.0-or-later
#include "dock-config.h"
#include "pass-scheduler.h"
#include "service-context.h"
#include "signature-pass.h"
#include "standin_host.hpp"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <obs-module.h>

namespace {

// A typical user.ini of a few kilobytes that already holds the dock line, so
// a pass reads it twice (discovery, repair check) and writes nothing.
std::filesystem::path prepare_host()
{
	standin::reset();
	char dir_template[] = "/tmp/brivora-bench-XXXXXX";
	std::filesystem::path home = mkdtemp(dir_template);
	std::filesystem::create_directories(home / "obs-studio");
	standin::set_config_home(home.string());

	reset_service_context();
	absorb_url_context("https://h/brivora/bench-streamer/x?widgetToken=0123456789abcdef");
	const std::string docks = "ExtraBrowserDocks=[" + service_dock_entries() + "]";
	std::ofstream ini(home / "obs-studio" / "user.ini");
	ini << "[General]\n";
	for (int i = 0; i < 80; ++i)
		ini << "Key" << i << "=some value of a realistic length " << i << "\n";
	ini << "[BasicWindow]\n" << docks << "\nGeometry=AdnQywADAAAAAAAAAAAAAAAAB38AAAQ3AAAAAAAAAAAAAAd/AAAENwAAAAACAAAHgA==\n";

	obs_source_t *scene = standin::create_scene("Scene");
	for (int i = 0; i < 12; ++i)
		standin::add_item(scene, standin::create_source("browser_source", "Widget " + std::to_string(i),
								{{"url", std::string("https://example.com/w/") +
										 std::to_string(i)}}));
	standin::set_current_scene(scene);
	return home;
}

// The graphics thread's share: adding up frame time at 60 fps. A pass is
// already waiting, as it is most of the time once one is due.
void tick_at_60_fps(benchmark::State &state)
{
	auto home = prepare_host();
	obs_module_load();
	tick(nullptr, 2.0f);
	for (auto _ : state)
		tick(nullptr, 1.0f / 60.0f);
	obs_module_unload();
	std::filesystem::remove_all(home);
}
BENCHMARK(tick_at_60_fps);

// The UI thread's share: one whole pass in the steady state.
void steady_state_pass(benchmark::State &state)
{
	auto home = prepare_host();
	ensure_signature();
	for (auto _ : state)
		ensure_signature();
	std::filesystem::remove_all(home);
}
BENCHMARK(steady_state_pass)->Unit(benchmark::kMicrosecond);

// A pass that has to rewrite user.ini: written, synced to disk, swapped.
void rewriting_pass(benchmark::State &state)
{
	auto home = prepare_host();
	auto ini = home / "obs-studio" / "user.ini";
	for (auto _ : state) {
		state.PauseTiming();
		std::ofstream(ini, std::ios::trunc) << "[General]\nName=x\n[BasicWindow]\nExtraBrowserDocks=[]\n";
		state.ResumeTiming();
		ensure_signature();
	}
	std::filesystem::remove_all(home);
}
BENCHMARK(rewriting_pass)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
