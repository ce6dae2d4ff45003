// Closed error sets: each subsystem declares its kinds once in an X-macro list;
// the enum and the printable names are generated from that one list so they cannot drift.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#define RECURSOR_ERROR_ENUMERATOR(name) name,
#define RECURSOR_ERROR_NAME_CASE(name)                                                                       \
    case ErrorEnum_::name:                                                                                   \
        return #name;

// Declares `enum class Enum` with the kinds of LIST and `errorName(Enum)` returning the kind's name.
#define RECURSOR_DEFINE_ERROR_ENUM(Enum, LIST)                                                               \
    enum class Enum : std::uint8_t { LIST(RECURSOR_ERROR_ENUMERATOR) };                                      \
    [[nodiscard]] constexpr std::string_view errorName(Enum e) noexcept                                      \
    {                                                                                                        \
        using ErrorEnum_ = Enum;                                                                             \
        switch (e) {                                                                                         \
            LIST(RECURSOR_ERROR_NAME_CASE)                                                                   \
        }                                                                                                    \
        return "Unknown";                                                                                    \
    }

// Propagates the error of a std::expected, otherwise yields its value (GCC statement expression).
#define TRY(expr)                                                                                            \
    ({                                                                                                       \
        auto&& try_result_ = (expr);                                                                         \
        if (!try_result_.has_value())                                                                        \
            return std::unexpected(try_result_.error());                                                     \
        std::move(*try_result_);                                                                             \
    })

// Like TRY for std::expected<void, E>.
#define TRY_VOID(expr)                                                                                       \
    do {                                                                                                     \
        auto&& try_result_ = (expr);                                                                         \
        if (!try_result_.has_value())                                                                        \
            return std::unexpected(try_result_.error());                                                     \
    } while (0)

namespace recursor {

// "error." followed by the kind's name, as errors appear inside log messages.
template <typename E> std::string dottedErrorName(E e)
{
    std::string out = "error.";
    out += errorName(e);
    return out;
}

} // namespace recursor
