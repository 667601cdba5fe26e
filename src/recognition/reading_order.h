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
// Whether an edge runs down the page between x = left and x = right from
// y = top to y = bottom, parting panels; left out, none is looked for.
using PanelEdgeTest = std::function<bool(float left, float right, float top, float bottom)>;

std::vector<VisualLine> readingOrder(const std::vector<TextLineBox>& boxes, const PanelEdgeTest& panelEdge = {});

}  // namespace tarnwick
