// Text formatting for the whole project: std::format where the standard
// library has it, {fmt} otherwise. Nothing outside this header knows which.
//
// Both branches print a floating-point value under a plain "{}" the way
// std::format does: the shortest text that reads back to the same value,
// fixed or scientific notation, whichever is shorter (std::to_chars without
// a format: "0.5", "5e-04", "1e+05", "-0", "inf"). {fmt} 9 chooses fixed
// notation for every exponent from -4 to 15 ("0.0005", "100000"), so its
// branch hands floating-point arguments to std::to_chars itself. A field with
// a format of its own ("{:.3f}", "{:>8}") keeps the library's formatting.
#pragma once

#include <version>

#if defined(__cpp_lib_format)
#include <format>
#define LUMO_FORMAT_NAMESPACE std
#else
#include <algorithm>
#include <charconv>
#include <iterator>
#include <string>
#include <type_traits>
#include <utility>

#include <fmt/format.h>
#define LUMO_FORMAT_NAMESPACE fmt
#endif

#include <string_view>

namespace lumo {

namespace fmtlib = LUMO_FORMAT_NAMESPACE;

using fmtlib::formatter;

#if defined(__cpp_lib_format)

using fmtlib::format;
using fmtlib::format_to;

#else

namespace formatDetail {

// A floating-point argument on its way to the formatter below.
template <typename T>
struct Shortest
{
    T value;
};

template <typename T>
using Argument =
    std::conditional_t<std::is_floating_point_v<std::remove_cvref_t<T>>, Shortest<std::remove_cvref_t<T>>, T>;

template <typename T>
decltype(auto) Wrap(const T& value)
{
    if constexpr (std::is_floating_point_v<T>) {
        return Shortest<T>{value};
    } else {
        return (value);
    }
}

// The arguments as named lvalues: {fmt} 10 and later accept nothing else.
template <typename... A>
std::string VFormat(fmt::string_view text, A&&... args)
{
    return fmt::vformat(text, fmt::make_format_args(args...));
}

template <typename OutputIt, typename... A>
OutputIt VFormatTo(OutputIt out, fmt::string_view text, A&&... args)
{
    return fmt::vformat_to(out, text, fmt::make_format_args(args...));
}

} // namespace formatDetail

// The format string is checked at compile time against the arguments as the
// formatter sees them.
template <typename... T>
using format_string = fmt::format_string<formatDetail::Argument<T>...>;

template <typename... T>
std::string format(format_string<T...> text, T&&... args)
{
    return formatDetail::VFormat(text, formatDetail::Wrap(args)...);
}

template <typename OutputIt, typename... T>
OutputIt format_to(OutputIt out, format_string<T...> text, T&&... args)
{
    return formatDetail::VFormatTo(out, text, formatDetail::Wrap(args)...);
}

#endif

} // namespace lumo

#if !defined(__cpp_lib_format)

template <typename T>
struct fmt::formatter<lumo::formatDetail::Shortest<T>>
{
    constexpr auto parse(fmt::format_parse_context& ctx)
    {
        auto it = ctx.begin();
        plain_ = it == ctx.end() || *it == '}';
        return plain_ ? it : ownFormat_.parse(ctx);
    }

    template <typename FormatContext>
    auto format(const lumo::formatDetail::Shortest<T>& argument, FormatContext& ctx) const
    {
        if (!plain_) {
            return ownFormat_.format(argument.value, ctx);
        }
        // Longest shortest form: a long double's sign, 21 digits, point,
        // exponent; 64 leaves room.
        char text[64];
        const auto end = std::to_chars(text, text + sizeof text, argument.value).ptr;
        return std::copy(text, end, ctx.out());
    }

private:
    bool plain_ = true;
    fmt::formatter<T> ownFormat_;
};

#endif
