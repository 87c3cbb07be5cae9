// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <string>

// The service's live and chat docks for the current slug and token: two JSON
// objects joined by ',', in the form the docks line of user.ini holds them.
std::string service_dock_entries();
