#include "liveLayout.h"

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cwchar>
#include <functional>
#include <map>
#include <optional>

#include <locale.h>

#include "lumo/Format.h"

namespace quillLive {

namespace {

// Lines above and below the rows: the header and the headings; the last
// log line and the keys.
constexpr size_t LINES_ABOVE = 2;
constexpr size_t LINES_BELOW = 2;
constexpr size_t MIN_NAME_WIDTH = 12;

// The length of a well-formed UTF-8 sequence starting with `lead`; 0 when
// `lead` starts none.
size_t SequenceLength(unsigned char lead)
{
    if (lead >= 0xc2 && lead <= 0xdf) {
        return 2;
    }
    if (lead >= 0xe0 && lead <= 0xef) {
        return 3;
    }
    if (lead >= 0xf0 && lead <= 0xf4) {
        return 4;
    }
    return 0;
}

// The code point of a well-formed UTF-8 sequence.
char32_t CodePoint(std::string_view sequence)
{
    static constexpr unsigned char LEAD_BITS[] = {0, 0x7f, 0x1f, 0x0f, 0x07};
    char32_t point = static_cast<unsigned char>(sequence[0]) & LEAD_BITS[sequence.size()];
    for (size_t k = 1; k < sequence.size(); ++k) {
        point = (point << 6) | (static_cast<unsigned char>(sequence[k]) & 0x3f);
    }
    return point;
}

// Makes glibc's wcwidth() measure UTF-8 on this thread while it lives,
// whatever the process's locale: the widths terminals under glibc use.
class Utf8Widths
{
public:
    Utf8Widths()
    {
        static const locale_t UTF8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
        if (UTF8 != static_cast<locale_t>(nullptr)) {
            previous_ = ::uselocale(UTF8);
        }
    }
    ~Utf8Widths()
    {
        if (previous_ != static_cast<locale_t>(nullptr)) {
            ::uselocale(previous_);
        }
    }
    Utf8Widths(const Utf8Widths&) = delete;
    Utf8Widths& operator=(const Utf8Widths&) = delete;

private:
    locale_t previous_ = static_cast<locale_t>(nullptr);
};

struct Glyph
{
    std::string bytes;
    size_t width; // terminal cells: 2 for a wide character, 0 for a combining mark
};

// The characters of `text`, each a printable byte sequence and its width.
std::vector<Glyph> Characters(std::string_view text, bool utf8)
{
    std::optional<Utf8Widths> widths;
    std::vector<Glyph> characters;
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            characters.push_back({std::string(1, byte < 0x20 || byte == 0x7f ? '?' : static_cast<char>(byte)), 1});
            ++i;
            continue;
        }
        const size_t length = utf8 ? SequenceLength(byte) : 0;
        bool wellFormed = length != 0 && i + length <= text.size();
        for (size_t k = 1; wellFormed && k < length; ++k) {
            wellFormed = (static_cast<unsigned char>(text[i + k]) & 0xc0) == 0x80;
        }
        int width = -1;
        if (wellFormed) {
            if (!widths) {
                widths.emplace();
            }
            // The least code each length may spell: longer is an overlong form.
            static constexpr char32_t LEAST[] = {0, 0, 0x80, 0x800, 0x10000};
            const char32_t point = CodePoint(text.substr(i, length));
            // -1: no printable character (a C1 control, a line separator, a
            // surrogate, an unassigned code).
            width = point >= LEAST[length] && point <= 0x10ffff ? ::wcwidth(static_cast<wchar_t>(point)) : -1;
        }
        if (width < 0) {
            characters.push_back({"?", 1});
            ++i;
            continue;
        }
        characters.push_back({std::string(text.substr(i, length)), static_cast<size_t>(width)});
        i += length;
    }
    return characters;
}

size_t WidthOf(const std::vector<Glyph>& glyphs)
{
    size_t width = 0;
    for (const auto& glyph : glyphs) {
        width += glyph.width;
    }
    return width;
}

std::string PadRight(std::string text, size_t width, bool utf8)
{
    const size_t length = DisplayWidth(text, utf8);
    if (length < width) {
        text.append(width - length, ' ');
    }
    return text;
}

std::string PadLeft(const std::string& text, size_t width)
{
    return text.size() < width ? std::string(width - text.size(), ' ') + text : text;
}

// A count exactly when it fits, else to three figures with k, M or G.
std::string CountText(double value, size_t width)
{
    std::string exact = value < 10.0 && value != std::floor(value) ? lumo::format("{:.1f}", value)
                                                                   : lumo::format("{:.0f}", value);
    if (exact.size() <= width) {
        return exact;
    }
    static constexpr std::pair<double, const char*> UNITS[] = {{1e9, "G"}, {1e6, "M"}, {1e3, "k"}};
    for (const auto& [scale, unit] : UNITS) {
        if (value >= scale) {
            const double scaled = value / scale;
            return scaled < 100.0 ? lumo::format("{:.1f}{}", scaled, unit) : lumo::format("{:.0f}{}", scaled, unit);
        }
    }
    return exact;
}

std::string LatencyText(const std::optional<uint64_t>& ns)
{
    if (!ns) {
        return "-";
    }
    const auto value = static_cast<double>(*ns);
    if (*ns < 1000) {
        return lumo::format("{}ns", *ns);
    }
    if (*ns < 1000000) {
        return lumo::format("{:.1f}us", value / 1e3);
    }
    if (*ns < 1000000000) {
        return lumo::format("{:.1f}ms", value / 1e6);
    }
    return lumo::format("{:.2f}s", value / 1e9);
}

// The last periods' rates as bars, scaled to the highest; a period that
// took nothing is a blank.
std::string Trend(const std::vector<double>& rates, size_t width, bool utf8)
{
    static constexpr const char* BARS[] = {"\u2581", "\u2582", "\u2583", "\u2584",
                                           "\u2585", "\u2586", "\u2587", "\u2588"};
    static constexpr std::string_view ASCII_BARS = "_.-:=+*#";
    const size_t shown = std::min(rates.size(), width);
    const double highest = rates.empty() ? 0.0 : *std::max_element(rates.end() - static_cast<long>(shown), rates.end());
    std::string text(width - shown, ' ');
    for (size_t i = rates.size() - shown; i < rates.size(); ++i) {
        if (rates[i] <= 0.0 || highest <= 0.0) {
            text += ' ';
            continue;
        }
        const auto level = std::min<size_t>(7, static_cast<size_t>(std::ceil(rates[i] / highest * 8.0)) - 1);
        text += utf8 ? std::string(BARS[level]) : std::string(1, ASCII_BARS[level]);
    }
    return text;
}

struct Column
{
    const char* heading;
    size_t width;
    // Columns go, the highest first, until the rest fit.
    int dropOrder;
    std::function<std::string(const LiveRow&, size_t width, bool utf8)> cell;
};

const std::vector<Column>& Columns()
{
    static const std::vector<Column> columns{
        {"presence", 11, 6, [](const LiveRow& row, size_t, bool) { return row.presence; }},
        {"rate/s", 9, 0, [](const LiveRow& row, size_t width, bool) { return CountText(row.rate, width); }},
        {"samples", 11, 0,
         [](const LiveRow& row, size_t width, bool) { return CountText(static_cast<double>(row.samples), width); }},
        {"missing", 9, 0,
         [](const LiveRow& row, size_t width, bool) { return CountText(static_cast<double>(row.missingIds), width); }},
        {"mw lost", 9, 3,
         [](const LiveRow& row, size_t width, bool) {
             return CountText(static_cast<double>(row.middlewareLost), width);
         }},
        {"skipped", 9, 4,
         [](const LiveRow& row, size_t width, bool) {
             return CountText(static_cast<double>(row.publisherSkipped), width);
         }},
        {"dups", 6, 7,
         [](const LiveRow& row, size_t width, bool) { return CountText(static_cast<double>(row.duplicates), width); }},
        {"restarts", 9, 8,
         [](const LiveRow& row, size_t width, bool) { return CountText(static_cast<double>(row.restarts), width); }},
        {"p50", 9, 5, [](const LiveRow& row, size_t, bool) { return LatencyText(row.p50Ns); }},
        {"p99", 9, 2, [](const LiveRow& row, size_t, bool) { return LatencyText(row.p99Ns); }},
        {"trend", LiveHistory::TREND_PERIODS + 1, 9,
         [](const LiveRow& row, size_t width, bool utf8) { return Trend(row.trend, width, utf8); }},
    };
    return columns;
}

// The columns that fit beside a name of MIN_NAME_WIDTH, and the name's width.
std::pair<std::vector<const Column*>, size_t> FittingColumns(size_t screenWidth)
{
    std::vector<const Column*> kept;
    for (const auto& column : Columns()) {
        kept.push_back(&column);
    }
    const auto used = [&] {
        size_t width = 2; // the mark and a blank
        for (const auto* column : kept) {
            width += column->width;
        }
        return width;
    };
    while (used() + MIN_NAME_WIDTH > screenWidth) {
        const auto last = std::max_element(kept.begin(), kept.end(), [](const Column* a, const Column* b) {
            return a->dropOrder < b->dropOrder;
        });
        if (last == kept.end() || (*last)->dropOrder == 0) {
            break;
        }
        kept.erase(last);
    }
    return {kept, screenWidth > used() ? std::max(screenWidth - used(), MIN_NAME_WIDTH) : MIN_NAME_WIDTH};
}

std::string VerdictText(const quillModel::Verdict& verdict)
{
    if (verdict.happened.empty()) {
        return "clean";
    }
    std::string text;
    for (const auto condition : verdict.happened) {
        text += lumo::format("{}{}", text.empty() ? "" : ", ", quillModel::ConditionName(condition));
    }
    if (!verdict.failed.empty()) {
        text += lumo::format(" (fails --fail-on: exit {})", verdict.exitStatus);
    }
    return text;
}

// Each reader's rows together, the reader's first; groups and the writers
// in them in the order asked for.
std::vector<const LiveRow*> SortedRows(const std::vector<LiveRow>& rows, SortOrder order)
{
    std::vector<std::vector<const LiveRow*>> groups;
    for (const auto& row : rows) {
        if (row.reader || groups.empty()) {
            groups.emplace_back();
        }
        groups.back().push_back(&row);
    }
    // Stable: the model's order (writers by their number) breaks ties.
    const auto before = [order](const LiveRow* a, const LiveRow* b) {
        switch (order) {
        case SortOrder::Name:
            return a->reader && a->name < b->name;
        case SortOrder::Rate:
            return a->rate > b->rate;
        case SortOrder::FaultsFirst:
            return a->fault && !b->fault;
        }
        return false;
    };
    for (auto& group : groups) {
        std::stable_sort(group.begin() + 1, group.end(), before);
    }
    std::stable_sort(groups.begin(), groups.end(),
                     [&](const auto& a, const auto& b) { return before(a.front(), b.front()); });
    std::vector<const LiveRow*> sorted;
    for (const auto& group : groups) {
        sorted.insert(sorted.end(), group.begin(), group.end());
    }
    return sorted;
}

} // namespace

SortOrder NextSort(SortOrder order)
{
    switch (order) {
    case SortOrder::Name:
        return SortOrder::Rate;
    case SortOrder::Rate:
        return SortOrder::FaultsFirst;
    case SortOrder::FaultsFirst:
        return SortOrder::Name;
    }
    return SortOrder::Name;
}

std::string_view SortName(SortOrder order)
{
    switch (order) {
    case SortOrder::Name:
        return "name";
    case SortOrder::Rate:
        return "rate";
    case SortOrder::FaultsFirst:
        return "faults first";
    }
    return "name";
}

size_t RowLines(size_t lines)
{
    return lines > LINES_ABOVE + LINES_BELOW ? lines - LINES_ABOVE - LINES_BELOW : 1;
}

size_t DisplayWidth(std::string_view text, bool utf8)
{
    return WidthOf(Characters(text, utf8));
}

std::string Fit(std::string_view text, size_t width, bool utf8)
{
    const auto characters = Characters(text, utf8);
    std::string fitted;
    if (WidthOf(characters) <= width) {
        for (const auto& character : characters) {
            fitted += character.bytes;
        }
        return fitted;
    }
    const std::string_view ellipsis = utf8 ? "\u2026" : "...";
    const size_t ellipsisWidth = utf8 ? 1 : 3;
    if (width < ellipsisWidth) {
        return std::string(width, '.');
    }
    // A wide character that would straddle the cut goes whole: the padding
    // after the text makes up for the cell.
    size_t used = 0;
    for (const auto& character : characters) {
        if (used + character.width > width - ellipsisWidth) {
            break;
        }
        fitted += character.bytes;
        used += character.width;
    }
    return fitted + std::string(ellipsis);
}

std::vector<ScreenLine> Layout(const LiveFrame& frame, const LayoutRequest& request)
{
    const size_t width = std::max<size_t>(request.columns, 1);
    const bool utf8 = request.utf8;
    std::vector<ScreenLine> lines;
    const auto add = [&](const std::string& text, ScreenLine::Kind kind) {
        lines.push_back(ScreenLine{Fit(text, width, utf8), kind});
    };

    add(lumo::format("lumoQuillmon  domain {}  {:.1f} s  {}: {}  unlisted writers {}{}", request.domainId,
                     frame.runSeconds, request.final ? "verdict" : "verdict so far", VerdictText(frame.verdict),
                     frame.unlistedWriters, request.final ? "" : lumo::format("  sort: {}", SortName(request.sort))),
        ScreenLine::Kind::Header);

    const auto [columns, nameWidth] = FittingColumns(width);
    std::string headings = "  " + PadRight("topic / writer", nameWidth, utf8);
    for (const auto* column : columns) {
        headings += column->dropOrder == 9 ? " " + PadRight(column->heading, column->width - 1, utf8)
                                           : PadLeft(column->heading, column->width);
    }
    add(headings, ScreenLine::Kind::Headings);

    const auto sorted = SortedRows(frame.rows, request.sort);
    const size_t rowLines = request.final ? sorted.size() : RowLines(request.lines);
    const size_t scroll = std::min(request.scroll, sorted.size() > rowLines ? sorted.size() - rowLines : 0);
    for (size_t i = scroll; i < std::min(sorted.size(), scroll + rowLines); ++i) {
        const LiveRow& row = *sorted[i];
        const std::string name = row.reader ? row.name : "  " + row.name + "  " + row.guid;
        std::string text = std::string(1, row.fault ? FAULT_MARK : ' ') + " " +
                           PadRight(Fit(name, nameWidth - 1, utf8), nameWidth, utf8);
        for (const auto* column : columns) {
            const std::string cell = column->cell(row, column->width - 1, utf8);
            text += column->dropOrder == 9 ? " " + cell : PadLeft(cell, column->width);
        }
        add(text, row.fault ? ScreenLine::Kind::FaultRow : ScreenLine::Kind::Row);
    }
    if (request.final) {
        return lines;
    }
    while (lines.size() < LINES_ABOVE + rowLines && lines.size() + LINES_BELOW < request.lines) {
        add("", ScreenLine::Kind::Blank);
    }
    const std::string_view lastLog = request.lastLog;
    add(request.heldLogs == 0
            ? std::string("log: none yet")
            : lumo::format("log ({} line{} held, printed when the view ends): {}", request.heldLogs,
                           request.heldLogs == 1 ? "" : "s", lastLog.substr(0, lastLog.find_last_not_of("\r\n") + 1)),
        ScreenLine::Kind::Footer);
    const std::string shown = sorted.empty() ? std::string("no reader yet")
                                             : lumo::format("rows {}-{} of {}", scroll + 1,
                                                            std::min(sorted.size(), scroll + rowLines), sorted.size());
    add(lumo::format("q quit  s sort  j/k or arrows scroll  {}", shown), ScreenLine::Kind::Footer);
    // A terminal of a few lines shows what fits, from the top.
    if (lines.size() > request.lines) {
        lines.resize(std::max<size_t>(request.lines, 1));
    }
    return lines;
}

} // namespace quillLive
