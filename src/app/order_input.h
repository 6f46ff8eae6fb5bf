// Reading the polynomial order at the prompt.
#ifndef KELDRAN_ORDER_INPUT_H
#define KELDRAN_ORDER_INPUT_H

#include <cstdint>
#include <istream>
#include <optional>
#include <ostream>

namespace keldran {

inline constexpr const char* order_prompt = "Order of polynomial (3 to 12) : ";

enum class read_status { number, not_a_number, end_of_input };

struct read_result {
    read_status status;
    std::int32_t value;  // meaningful when status is number
};

// Reads one integer the way "%d" does: skips white space, takes an optional
// sign and decimal digits, and leaves the first byte that cannot continue the
// number unread. A value beyond 32 bits saturates to INT32_MIN or INT32_MAX
// instead of wrapping. Memory use does not grow with the number's length.
read_result read_integer(std::istream& in);

// Consumes bytes up to and including the next line end. Returns false when
// input ends first.
bool discard_line(std::istream& in);

// Prompts on err (flushing out first, so the banner comes before the prompt)
// and reads until an integer in 3 ... 12 arrives; from text that cannot start
// a number, the rest of its line is discarded. Nothing after an accepted order
// is consumed.
// Empty when input ends first.
std::optional<std::int32_t> ask_order(std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace keldran

#endif
