#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "platform/text_detection.h"

namespace tarnwick {

// The boxes of one visual line, left to right.
using VisualLine = std::vector<std::size_t>;

// The boxes with the pieces of each line that stand close together on one
// baseline joined into one box, so the line is read whole.
std::vector<TextLineBox> joinedPiecesOfLines(const std::vector<TextLineBox>& boxes);

// The boxes grouped into the lines a person reads, in the order they read
// them: top to bottom, a column to the left before the one beside it, and
// boxes that share a baseline across a gap (a label and its amount, the
// cells of a table or log row, a menu item and its shortcut) on one line.
// Every box is in exactly one line.
// What is drawn on the page between the boxes, in page pixels, where it is
// known: whether an edge runs down the region from x = left to x = right
// and y = top to y = bottom, parting panels, and whether a rule runs across
// it. Tests left out find nothing.
struct PageDrawing {
  std::function<bool(float left, float right, float top, float bottom)> edgeDown, ruleAcross;
};

std::vector<VisualLine> readingOrder(const std::vector<TextLineBox>& boxes, const PageDrawing& drawing = {});

}  // namespace tarnwick
