#pragma once

#include "platform/pixel_buffer.h"

namespace tarnwick {

// Whether something drawn runs down the whole of the ground between x = left
// and x = right from y = top to y = bottom (a panel's border, the edge of a
// card's background) with no rule across it, as cards side by side have and
// the cells of a table's grid have not.
bool panelEdgeRunsDown(const PixelBuffer& page, float left, float right, float top, float bottom);

// Whether a rule or the edge of a bar runs across the whole of the region.
bool ruleRunsAcross(const PixelBuffer& page, float left, float right, float top, float bottom);

}  // namespace tarnwick
