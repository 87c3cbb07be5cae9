// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// Where the signature item goes on the host's base canvas. No host types:
// the rule is checked on its own.

#include <cstdint>
#include <optional>

struct canvas_size {
	uint32_t width;
	uint32_t height;
	friend constexpr bool operator==(const canvas_size &, const canvas_size &) = default;
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

// Whether a pass may go on with the canvas it read. The host rebuilds the
// canvas in a video reset on whichever thread asked for it (obs-websocket's
// own, for one) while the UI thread runs on, and a pass that reads the
// canvas or moves an item then reaches into what is being rebuilt (from OBS
// 31 on, moving an item reads the canvas too). A pass that reads another
// canvas than the last pass did, or none where there was one, holds: it
// touches nothing. The next pass that reads the same canvas again takes it
// up, once the host is done. The first reading is taken as it is.
class canvas_hold {
public:
	constexpr bool settled(std::optional<canvas_size> reading) noexcept
	{
		const bool same = read_ && reading == last_;
		const bool first = !read_;
		read_ = true;
		last_ = reading;
		return same || first;
	}

private:
	bool read_ = false;
	std::optional<canvas_size> last_;
};
