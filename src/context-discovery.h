// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <obs.h>

// Learning the widget token and the streamer slug from what the user already
// has: the lines of user.ini, then the URLs of the current scene's sources.

void absorb_user_ini_context();
void absorb_existing_signature_context(obs_scene_t *scene);
