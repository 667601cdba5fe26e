#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarnwick {

// Whitespace and line breaks: general category Z plus U+0009-U+000D and U+0085.
bool isWhitespaceOrNewline(char32_t codePoint);

// Removes leading and trailing code points of the whitespace-and-newlines set,
// one code point at a time. The input must be valid UTF-8.
std::string trimWhitespaceAndNewlines(std::string_view utf8);

// Number of extended grapheme clusters (user-perceived characters).
std::size_t graphemeClusterCount(std::string_view utf8);

// True when the bytes are well-formed UTF-8 (no overlongs, no surrogates).
bool isValidUtf8(std::string_view bytes);

// The bytes with every ill-formed sequence replaced by U+FFFD.
std::string replacingInvalidUtf8(std::string_view bytes);

}  // namespace tarnwick
