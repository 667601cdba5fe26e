#include "report/ocr_result.h"

#include <array>

namespace tarnwick {
namespace {

constexpr std::array<std::pair<CodingKeys, std::string_view>, 4> kKeyNames{{
    {CodingKeys::text, "text"},
    {CodingKeys::lines, "lines"},
    {CodingKeys::provider, "provider"},
    {CodingKeys::confidence_notes, "confidence_notes"},
}};

}  // namespace

std::string_view stringValue(CodingKeys key) { return kKeyNames[static_cast<std::size_t>(key)].second; }

}  // namespace tarnwick
