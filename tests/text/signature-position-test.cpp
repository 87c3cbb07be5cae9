// SPDX-License-Identifier: GPL-2.0-or-later
// The signature item's place: the bottom-right corner of whatever canvas.

#include "scene/signature-position.h"

#include <gtest/gtest.h>
#include <utility>
#include <vector>

namespace {

TEST(SignaturePosition, BottomRightCornerOfTheCanvas)
{
	struct row {
		std::optional<canvas_size> canvas;
		float x, y;
	} rows[] = {
		{canvas_size{1920, 1080}, 1348, 992},
		{canvas_size{1280, 720}, 708, 632},
		{canvas_size{1080, 1920}, 508, 1832},
		{canvas_size{2560, 1440}, 1988, 1352},
		{canvas_size{3840, 2160}, 3268, 2072},
		{canvas_size{572, 88}, 0, 0},
		{canvas_size{320, 60}, 0, 0},
		{canvas_size{320, 1080}, 0, 992},
		{std::nullopt, 1348, 992},
	};
	for (const row &r : rows) {
		const canvas_point p = signature_position_on(r.canvas);
		EXPECT_EQ(p.x, r.x) << (r.canvas ? r.canvas->width : 0) << "x" << (r.canvas ? r.canvas->height : 0);
		EXPECT_EQ(p.y, r.y) << (r.canvas ? r.canvas->width : 0) << "x" << (r.canvas ? r.canvas->height : 0);
	}
}

// Each pass's reading, and whether that pass may go on.
TEST(CanvasHold, APassGoesOnOnlyWithTheCanvasTheLastPassRead)
{
	constexpr canvas_size landscape{1280, 720}, vertical{1080, 1920}, tall{1080, 1921};
	const std::optional<canvas_size> none;
	struct row {
		const char *what;
		std::vector<std::pair<std::optional<canvas_size>, bool>> passes;
	} rows[] = {
		{"the first reading", {{landscape, true}, {landscape, true}}},
		{"no video from the start", {{none, true}, {none, true}}},
		{"a reset: held once, then taken up",
		 {{landscape, true}, {vertical, false}, {vertical, true}, {vertical, true}}},
		{"between two videos", {{landscape, true}, {none, false}, {vertical, false}, {vertical, true}}},
		{"one side changed", {{vertical, true}, {tall, false}, {tall, true}}},
		{"changed back at once", {{landscape, true}, {vertical, false}, {landscape, false}, {landscape, true}}},
	};
	for (const row &r : rows) {
		canvas_hold hold;
		for (size_t i = 0; i < r.passes.size(); i++)
			EXPECT_EQ(hold.settled(r.passes[i].first), r.passes[i].second) << r.what << ", pass " << i;
	}
}

} // namespace
