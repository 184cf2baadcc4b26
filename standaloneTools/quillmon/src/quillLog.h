// The monitor's log macro, QUILL_LOG_TO: shared by every tool.
#pragma once

#include "lumo/toolsCommon/Log.h"
