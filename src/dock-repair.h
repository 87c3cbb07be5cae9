// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// Once a token is known, makes user.ini hold the service's dock list as its
// [BasicWindow] ExtraBrowserDocks line, rewriting the file only when the
// exact line is missing.
void repair_obs_docks();
