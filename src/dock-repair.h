// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// Once a token is known, makes user.ini's [BasicWindow] ExtraBrowserDocks
// line hold the service's two docks beside the user's own, rewriting the
// file only when that line is not in order.
void repair_obs_docks();
