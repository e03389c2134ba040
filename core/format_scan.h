// SPDX-License-Identifier: Apache-2.0
// The small piece of formatted input that the scene file needs, written out so that
// its behaviour is defined for every input: a blank in a format matches any run of
// white space (also none), a number is an optionally signed decimal integer after
// optional white space, and a literal character must match exactly. A number too
// large for an int is clamped to the int range.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kelbos {

// The white space of formatted input: space, tab, line feed, vertical tab, form
// feed and carriage return.
bool is_format_space(char c);

// A whole number as a number field or option holds it: decimal digits, with white
// space before and after them allowed, nothing else. Empty text, a sign, a point, an
// exponent or any other character, and values above 4294967295 do not read: "0.5"
// is not 0 and "2x" is not 2.
std::optional<std::uint32_t> read_whole_number(std::string_view text);

// Reads formatted input from the front of a text, consuming what it matches.
class FormatScanner {
public:
    explicit FormatScanner(std::string_view text) : text_(text) {}

    // Skips any run of white space, also an empty one (a blank of a format).
    void skip_space();

    // Matches the literal characters exactly; consumes them only when all match.
    bool literal(std::string_view word);

    // "%d": skips white space, then reads an optionally signed decimal integer,
    // clamped to the int range. Consumes nothing when no digit follows.
    bool integer(int& value);

    // "%s": skips white space and reads the following run of non-white-space
    // characters. False (nothing read) at the end of the text.
    bool word(std::string_view& value);

    // "%d, %d, ...": up to max_count integers, each after the first preceded
    // directly by a comma (white space after the comma is optional). Returns how
    // many were stored into values; reading stops at the first mismatch.
    int integer_list(int* values, int max_count);

    std::string_view rest() const { return text_.substr(pos_); }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

}  // namespace kelbos
