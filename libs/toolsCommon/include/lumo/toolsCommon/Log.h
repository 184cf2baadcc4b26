// The one way the tools log: ask the logger first, build the text only when
// the level is enabled, and log it with this source location.
#pragma once

#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include "lumo/Format.h"

#define QUILL_LOG_TO(logger, level, ...)                                                                               \
    do {                                                                                                               \
        if ((logger).isEnabledFor(level)) {                                                                            \
            log4cplus::detail::macro_forced_log((logger), (level), lumo::format(__VA_ARGS__), __FILE__, __LINE__,      \
                                                LOG4CPLUS_MACRO_FUNCTION());                                           \
        }                                                                                                              \
    } while (false)
