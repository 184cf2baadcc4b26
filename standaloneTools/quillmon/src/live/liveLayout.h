// The live view's screen as lines of text: what fits a terminal of a given
// size, sorted and scrolled as the person at it asked. Pure: the painter
// (liveView) draws these lines, the tests read them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "liveFrame.h"

namespace quillLive {

enum class SortOrder
{
    Name,
    Rate,
    FaultsFirst,
};
SortOrder NextSort(SortOrder order);
std::string_view SortName(SortOrder order);

struct ScreenLine
{
    enum class Kind
    {
        Header,   // the run: domain, time, verdict
        Headings, // the columns' names
        Row,
        FaultRow, // a row where something went wrong: marked, and coloured where colour is on
        Footer,
        Blank, // below the rows, where the screen has room to spare
    };
    std::string text;
    Kind kind = Kind::Row;
};

// Rows with a fault begin with this mark, which survives without colour.
inline constexpr char FAULT_MARK = '!';

struct LayoutRequest
{
    size_t columns = 80;
    size_t lines = 24;
    SortOrder sort = SortOrder::Name;
    size_t scroll = 0; // rows scrolled past; kept within bounds
    bool utf8 = true;  // the terminal takes UTF-8: the ellipsis and the trend's bars
    uint32_t domainId = 0;
    std::string lastLog;   // the latest log line held while the view is up, as written (its line end too)
    uint64_t heldLogs = 0; // how many are held
    // The last screen, printed as text once the view ends: every row, no
    // keys, "verdict" rather than "verdict so far".
    bool final = false;
};

// The lines of the screen, none wider than `columns`.
std::vector<ScreenLine> Layout(const LiveFrame& frame, const LayoutRequest& request);

// How many rows a screen of `lines` lines shows; the scroll that shows the
// last of `rows` rows is rows minus that.
size_t RowLines(size_t lines);

// The terminal cells `text` takes once made printable: a wide (CJK)
// character two, a combining mark or a zero-width space none.
size_t DisplayWidth(std::string_view text, bool utf8);
// `text` made printable (control characters, and bytes that are no UTF-8
// where UTF-8 is on, or no printable character, as '?') and cut to `width`
// cells with an ellipsis.
std::string Fit(std::string_view text, size_t width, bool utf8);

} // namespace quillLive
