// Command line of lumoQuillmon: the option table, kept apart from the
// driver's work.
#pragma once

#include <string>

#include <boost/program_options.hpp>

#include "lumo/toolsCommon/Unsigned32.h"

using lumo::toolsCommon::Unsigned32;

// The option table, in usage order; check-ramp and expected-payload-pattern
// are bound to the two variables given.
boost::program_options::options_description MakeQuillmonOptions(bool& checkRamp, std::string& expectedPattern);
