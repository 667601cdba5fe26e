#include "platform/text_detection.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace tarnwick {
namespace {

float distance(Point a, Point b) { return std::hypot(a.x - b.x, a.y - b.y); }

}  // namespace

BoxSides sidesOf(const TextLineBox& box) {
  const auto& [topLeft, topRight, bottomRight, bottomLeft] = box.corners;
  return {.length = (distance(topLeft, topRight) + distance(bottomLeft, bottomRight)) / 2,
          .height = (distance(topLeft, bottomLeft) + distance(topRight, bottomRight)) / 2};
}

float typicalHeight(const std::vector<TextLineBox>& boxes) {
  std::vector<float> heights;
  heights.reserve(boxes.size());
  for (const TextLineBox& box : boxes) heights.push_back(sidesOf(box).height);
  if (heights.empty()) return 0;
  const auto middle = heights.begin() + static_cast<std::ptrdiff_t>(heights.size() / 2);
  std::nth_element(heights.begin(), middle, heights.end());
  return *middle;
}

}  // namespace tarnwick
