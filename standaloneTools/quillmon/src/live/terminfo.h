// The two terminfo questions the live view asks outside ncurses' screen,
// kept apart: <term.h> defines a macro for every capability name.
#pragma once

#include <string>

namespace quillLive {

// Why --live cannot drive the terminal named `term` (the TERM variable; null
// when unset): terminfo does not describe it, or it cannot put the cursor
// at a given place (a dumb terminal, a printer), where ncurses would write
// the view as one garbled line. Empty when it can.
std::string TerminalRefusal(const char* term);
// What puts the terminal back to normal (attributes off, cursor shown, the
// normal screen again) as the current terminal's description spells it.
std::string ResetSequence();

} // namespace quillLive
