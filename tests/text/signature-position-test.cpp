// SPDX-License-Identifier: GPL-2.0-or-later
// The signature item's place: the bottom-right corner of whatever canvas.

#include "scene/signature-position.h"

#include <gtest/gtest.h>

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

} // namespace
