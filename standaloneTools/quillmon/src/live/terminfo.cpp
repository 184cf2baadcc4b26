#include "terminfo.h"

#include <cstdint>

#include <curses.h>
#include <term.h>
#include <unistd.h>

namespace quillLive {

bool TerminalDescribed()
{
    int error = 0;
    if (setupterm(nullptr, STDOUT_FILENO, &error) != OK) {
        return false;
    }
    del_curterm(cur_term);
    return true;
}

std::string ResetSequence()
{
    std::string sequence;
    for (const char* name : {"sgr0", "cnorm", "rmcup"}) {
        const char* value = tigetstr(name);
        // (char*)-1: the name is no string capability.
        if (value != nullptr && reinterpret_cast<std::intptr_t>(value) != -1) {
            sequence += value;
        }
    }
    return sequence;
}

} // namespace quillLive
