// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// Where the signature item goes on the host's base canvas. No host types:
// the rule is checked on its own.

#include <cstdint>
#include <optional>

struct canvas_size {
	uint32_t width;
	uint32_t height;
};

struct canvas_point {
	float x;
	float y;
};

// The item's top-left corner, 572 px left of the canvas's right edge and
// 88 px above its bottom (the 560 x 80 overlay with a 12 px and an 8 px
// margin), so that it sits in the bottom-right corner of any canvas:
// (1348, 992) on 1920 x 1080. A canvas smaller than that puts it at 0.
// Without a canvas (a host with no video yet) it is where a 1920 x 1080
// canvas puts it.
constexpr canvas_point signature_position_on(std::optional<canvas_size> canvas)
{
	constexpr uint32_t right_offset = 572;
	constexpr uint32_t bottom_offset = 88;
	const canvas_size size = canvas.value_or(canvas_size{1920, 1080});
	return {static_cast<float>(size.width > right_offset ? size.width - right_offset : 0),
		static_cast<float>(size.height > bottom_offset ? size.height - bottom_offset : 0)};
}
