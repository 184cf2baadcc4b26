// The two terminfo questions the live view asks outside ncurses' screen,
// kept apart: <term.h> defines a macro for every capability name.
#pragma once

#include <string>

namespace quillLive {

// Whether terminfo describes the terminal on standard output.
bool TerminalDescribed();
// What puts the terminal back to normal (attributes off, cursor shown, the
// normal screen again) as the current terminal's description spells it.
std::string ResetSequence();

} // namespace quillLive
