#include "terminfo.h"

#include <cstdint>

#include <curses.h>
#include <term.h>
#include <unistd.h>

namespace quillLive {

namespace {

bool IsString(const char* capability)
{
    // (char*)-1: the name is no string capability.
    return capability != nullptr && reinterpret_cast<std::intptr_t>(capability) != -1;
}

} // namespace

std::string TerminalRefusal(const char* term)
{
    const std::string refused = std::string("--live cannot drive this terminal (TERM=") +
                                (term != nullptr ? term : "") + "): ";
    int error = 0;
    if (term == nullptr || setupterm(term, STDOUT_FILENO, &error) != OK) {
        return refused + "terminfo has no description of it";
    }
    const bool addressesCursor = IsString(tigetstr("cup"));
    del_curterm(cur_term);
    return addressesCursor ? std::string() : refused + "it cannot address the cursor";
}

std::string ResetSequence()
{
    std::string sequence;
    for (const char* name : {"sgr0", "cnorm", "rmcup"}) {
        const char* value = tigetstr(name);
        if (IsString(value)) {
            sequence += value;
        }
    }
    return sequence;
}

} // namespace quillLive
