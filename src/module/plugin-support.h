// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <util/base.h>

#ifdef __cplusplus
extern "C" {
#endif

extern const char *PLUGIN_NAME;
extern const char *PLUGIN_VERSION;

// One line in the host log at log_level, prefixed with "[PLUGIN_NAME] ".
void obs_log(int log_level, const char *format, ...)
#ifdef __GNUC__
	__attribute__((format(printf, 2, 3)))
#endif
	;

#ifdef __cplusplus
}
#endif
