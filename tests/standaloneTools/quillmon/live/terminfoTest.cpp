// Which terminals --live refuses, and in what words.
#include "live/terminfo.h"

#include <gtest/gtest.h>

using quillLive::TerminalRefusal;

TEST(Terminfo, TerminalsThatCannotShowTheViewAreRefusedByName)
{
    struct Case
    {
        const char* term;
        std::string refusal;
    };
    const std::vector<Case> cases{
        {"xterm-256color", ""},
        {"dumb", "--live cannot drive this terminal (TERM=dumb): it cannot address the cursor"},
        {"no-such-terminal",
         "--live cannot drive this terminal (TERM=no-such-terminal): terminfo has no description of it"},
        {nullptr, "--live cannot drive this terminal (TERM=): terminfo has no description of it"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TerminalRefusal(c.term), c.refusal) << (c.term != nullptr ? c.term : "unset");
    }
}
