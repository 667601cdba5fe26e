#pragma once

#include <string_view>

#include "tarnwick/tarnwick.h"

namespace tarnwick {

// The record's keys, in field order.
enum class CodingKeys { text, lines, provider, confidence_notes };

std::string_view stringValue(CodingKeys key);

}  // namespace tarnwick
