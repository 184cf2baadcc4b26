// The live view's screen as text: what fits each terminal size, hostile
// names made printable, the sort orders and scrolling.
#include "live/liveLayout.h"

#include <algorithm>
#include <cwchar>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <locale.h>

using namespace quillLive;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// Terminal cells, as glibc measures them under a UTF-8 locale.
size_t Width(const std::string& text)
{
    static const locale_t UTF8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    const locale_t previous = ::uselocale(UTF8);
    std::wstring wide(text.size() + 1, L'\0');
    std::mbstate_t state{};
    const char* from = text.c_str();
    const size_t length = std::mbsrtowcs(wide.data(), &from, wide.size(), &state);
    const int width = length == static_cast<size_t>(-1) ? -1 : ::wcswidth(wide.c_str(), length);
    ::uselocale(previous);
    EXPECT_GE(width, 0) << text;
    return static_cast<size_t>(std::max(width, 0));
}

LiveRow Reader(const std::string& topic, double rate, bool fault = false)
{
    LiveRow row;
    row.reader = true;
    row.topic = topic;
    row.name = topic;
    row.rate = rate;
    row.fault = fault;
    return row;
}

LiveRow Writer(const std::string& topic, int number, double rate, bool fault = false)
{
    LiveRow row;
    row.topic = topic;
    row.name = "writer " + std::to_string(number);
    row.guid = "01.0f.92.14.bf.4e.38.6a.de.26.0d.5" + std::to_string(number) + "|0.0.1.3";
    row.rate = rate;
    row.fault = fault;
    row.trend = {1.0, 2.0, 4.0, 8.0};
    return row;
}

// The rows' names, in screen order, without the mark.
std::vector<std::string> Names(const std::vector<ScreenLine>& lines)
{
    std::vector<std::string> names;
    for (const auto& line : lines) {
        if (line.kind == ScreenLine::Kind::Row || line.kind == ScreenLine::Kind::FaultRow) {
            std::string name = line.text.substr(2);
            name.erase(0, name.find_first_not_of(' ')); // a writer's indent
            names.push_back(name.substr(0, name.find("  ")));
        }
    }
    return names;
}

} // namespace

TEST(LiveLayout, TextIsMadePrintableAndCutWithAnEllipsis)
{
    struct Case
    {
        std::string text;
        size_t width;
        bool utf8;
        std::string fitted;
    };
    const std::vector<Case> cases{
        {"Temperature", 11, true, "Temperature"},
        {"Temperature", 8, false, "Tempe..."},
        // A topic name from the domain cannot move the cursor or recolour.
        {"A\x1b[2J\r\nB", 20, true, "A?[2J??B"},
        {"C\xc2\x9b"
         "31m",
         20, true, "C??31m"}, // a C1 control, UTF-8 encoded
        {"Dr\xc3\xbc"
         "ck",
         20, false, "Dr??ck"},
        {"\xff\xe2\x82", 20, true, "???"}, // no UTF-8, and cut inside a character
        {"Dr\xc3\xbc"
         "cke",
         4, true, "Dr\xc3\xbc\u2026"},
        {"\xe0\x80\x80", 20, true, "???"}, // an overlong form
        // Measured in terminal cells: two a wide character, none a
        // combining mark or a zero-width space.
        {"\u6e29\u5ea6\u30bb\u30f3\u30b5", 7, true, "\u6e29\u5ea6\u30bb\u2026"},
        {"\u6e29\u5ea6\u30bb\u30f3\u30b5", 8, true, "\u6e29\u5ea6\u30bb\u2026"}, // one cell short
        {"Cafe\u0301 Tempe\u0301rature", 6, true, "Cafe\u0301 \u2026"},
        {"Zero\u200bWidth", 9, true, "Zero\u200bWidth"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Fit(c.text, c.width, c.utf8), c.fitted) << c.text;
        EXPECT_LE(Width(Fit(c.text, c.width, c.utf8)), c.width);
    }
}

TEST(LiveLayout, EachTerminalSizeKeepsTheMostTellingColumnsAndNoLineIsWiderThanIt)
{
    LiveFrame frame;
    frame.rows = {Reader("A_topic_with_a_rather_long_name_indeed", 10.0), Writer("A", 1, 10.0),
                  Reader("\u6e29\u5ea6\u30bb\u30f3\u30b5\u30fc_\u6e29\u5ea6\u30bb\u30f3\u30b5\u30fc", 1.0),
                  Reader("Cafe\u0301_Tempe\u0301rature", 1.0), Reader("Zero\u200bWidth\u200bSpaces", 1.0)};
    const std::string fullFooter = "log (1 line held, printed when the view ends): INFO  abc";
    struct Case
    {
        size_t columns;
        std::vector<std::string> shown;
        std::vector<std::string> dropped;
        std::string footer;
        size_t lines = 10;
        size_t rows = 5;
    };
    const std::vector<Case> cases{
        {200,
         {"presence", "rate/s", "samples", "missing", "mw lost", "skipped", "dups", "restarts", "p50", "p99", "trend"},
         {},
         fullFooter},
        {100,
         {"presence", "rate/s", "missing", "mw lost", "skipped", "dups", "p50", "p99"},
         {"trend", "restarts"},
         fullFooter},
        {50,
         {"rate/s", "samples", "missing"},
         {"presence", "mw lost", "skipped", "p50", "p99"},
         "log (1 line held, printed when the view ends): IN\u2026"},
        // Narrower than the columns that always stay: cut, never wrapped.
        {20, {}, {"p99"}, "log (1 line held, p\u2026"},
        // Four lines: the header, the headings, one row, the log.
        {200, {"presence"}, {}, fullFooter, 4, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.columns);
        LayoutRequest request;
        request.columns = c.columns;
        request.lines = c.lines;
        request.heldLogs = 1;
        request.lastLog = "INFO  abc\n"; // as the console's layout writes it
        const auto lines = Layout(frame, request);
        ASSERT_EQ(lines.size(), c.lines);
        EXPECT_EQ(Names(lines).size(), c.rows);
        for (const auto& line : lines) {
            EXPECT_LE(Width(line.text), c.columns) << line.text;
            // The columns line up under their headings, whatever the names.
            if (line.kind == ScreenLine::Kind::Row) {
                EXPECT_EQ(Width(line.text), Width(lines[1].text)) << line.text;
            }
        }
        const auto footer = std::find_if(lines.begin(), lines.end(),
                                         [](const auto& line) { return line.kind == ScreenLine::Kind::Footer; });
        ASSERT_NE(footer, lines.end());
        EXPECT_EQ(footer->text, c.footer);
        for (const auto& heading : c.shown) {
            EXPECT_THAT(lines[1].text, HasSubstr(heading));
        }
        for (const auto& heading : c.dropped) {
            EXPECT_THAT(lines[1].text, Not(HasSubstr(heading)));
        }
    }
}

TEST(LiveLayout, SortOrdersKeepEachReadersWritersUnderItAndScrollingStaysInBounds)
{
    LiveFrame frame;
    frame.rows = {Reader("B", 30.0),         Writer("B", 1, 10.0), Writer("B", 2, 20.0, true), Reader("A", 5.0, true),
                  Writer("A", 1, 5.0, true), Reader("C", 40.0),    Writer("C", 1, 40.0)};
    struct Case
    {
        SortOrder sort;
        std::vector<std::string> names;
    };
    const std::vector<Case> cases{
        {SortOrder::Name, {"A", "writer 1", "B", "writer 1", "writer 2", "C", "writer 1"}},
        {SortOrder::Rate, {"C", "writer 1", "B", "writer 2", "writer 1", "A", "writer 1"}},
        {SortOrder::FaultsFirst, {"A", "writer 1", "B", "writer 2", "writer 1", "C", "writer 1"}},
    };
    LayoutRequest request;
    request.columns = 200;
    request.lines = 40;
    for (const auto& c : cases) {
        request.sort = c.sort;
        EXPECT_THAT(Names(Layout(frame, request)), ElementsAreArray(c.names)) << SortName(c.sort);
        EXPECT_EQ(NextSort(NextSort(NextSort(c.sort))), c.sort);
    }

    // Eight lines leave four for rows: scrolled past the end, the last four.
    request.sort = SortOrder::Name;
    request.lines = 8;
    request.scroll = 100;
    const auto lines = Layout(frame, request);
    ASSERT_EQ(lines.size(), 8U);
    EXPECT_THAT(Names(lines), ElementsAre("writer 1", "writer 2", "C", "writer 1"));
    EXPECT_EQ(lines.back().text.substr(lines.back().text.rfind("rows")), "rows 4-7 of 7");
    EXPECT_EQ(lines[2].kind, ScreenLine::Kind::Row);
    // A fault's row carries the mark, whatever the colours.
    EXPECT_EQ(lines[3].kind, ScreenLine::Kind::FaultRow);
    EXPECT_EQ(lines[3].text.front(), FAULT_MARK);

    // The last screen: every row, no keys.
    request.final = true;
    const auto last = Layout(frame, request);
    EXPECT_EQ(Names(last).size(), 7U);
    EXPECT_THAT(last.front().text, HasSubstr("  verdict: clean  "));
    EXPECT_EQ(std::count_if(last.begin(), last.end(), [](const auto& l) { return l.kind == ScreenLine::Kind::Footer; }),
              0);
}
