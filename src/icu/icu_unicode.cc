#include "platform/unicode.h"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <memory>

namespace tarnwick {
namespace {

// Decodes the code point at `offset`, advancing it; ill-formed bytes give a
// negative value.
UChar32 nextCodePoint(std::string_view utf8, std::int32_t& offset) {
  UChar32 codePoint = 0;
  U8_NEXT(utf8.data(), offset, static_cast<std::int32_t>(utf8.size()), codePoint);
  return codePoint;
}

UChar32 previousCodePoint(std::string_view utf8, std::int32_t& offset) {
  UChar32 codePoint = 0;
  U8_PREV(utf8.data(), 0, offset, codePoint);
  return codePoint;
}

}  // namespace

bool isWhitespaceOrNewline(char32_t codePoint) {
  if ((codePoint >= 0x09 && codePoint <= 0x0D) || codePoint == 0x85) return true;
  const auto mask = U_GET_GC_MASK(static_cast<UChar32>(codePoint));
  return (mask & U_GC_Z_MASK) != 0;
}

std::string trimWhitespaceAndNewlines(std::string_view utf8) {
  std::int32_t begin = 0;
  const auto size = static_cast<std::int32_t>(utf8.size());
  while (begin < size) {
    std::int32_t next = begin;
    const UChar32 codePoint = nextCodePoint(utf8, next);
    if (codePoint < 0 || !isWhitespaceOrNewline(static_cast<char32_t>(codePoint))) break;
    begin = next;
  }
  std::int32_t end = size;
  while (end > begin) {
    std::int32_t previous = end;
    const UChar32 codePoint = previousCodePoint(utf8, previous);
    if (codePoint < 0 || !isWhitespaceOrNewline(static_cast<char32_t>(codePoint))) break;
    end = previous;
  }
  return std::string(utf8.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin)));
}

std::size_t graphemeClusterCount(std::string_view utf8) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UText, decltype(&utext_close)> text(
      utext_openUTF8(nullptr, utf8.data(), static_cast<std::int64_t>(utf8.size()), &status), &utext_close);
  std::unique_ptr<icu::BreakIterator> characters(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status)) return utf8.size();
  characters->setText(text.get(), status);
  if (U_FAILURE(status)) return utf8.size();
  std::size_t count = 0;
  for (auto boundary = characters->next(); boundary != icu::BreakIterator::DONE; boundary = characters->next()) ++count;
  return count;
}

bool isValidUtf8(std::string_view bytes) {
  std::int32_t offset = 0;
  while (offset < static_cast<std::int32_t>(bytes.size())) {
    if (nextCodePoint(bytes, offset) < 0) return false;
  }
  return true;
}

std::string replacingInvalidUtf8(std::string_view bytes) {
  std::string valid;
  valid.reserve(bytes.size());
  std::int32_t offset = 0;
  while (offset < static_cast<std::int32_t>(bytes.size())) {
    const std::int32_t start = offset;
    if (nextCodePoint(bytes, offset) < 0) {
      valid += "\xEF\xBF\xBD";
    } else {
      valid.append(bytes.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(offset - start)));
    }
  }
  return valid;
}

}  // namespace tarnwick
