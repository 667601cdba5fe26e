// Arbitrary detector output (probability maps of any shape and values: NaN,
// infinities, all text, no text) through line finding, joining, reading
// order (looking at the page's drawing) and line preparation: every box must
// lie on the page, every box must be read exactly once, and every prepared
// line must be whole.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "opencv/opencv_text_detection.h"
#include "recognition/line_preparation.h"
#include "recognition/panel_edges.h"
#include "recognition/reading_order.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const int width = input.ConsumeIntegralInRange(1, 96), height = input.ConsumeIntegralInRange(1, 96);
  const float scale = input.ConsumeFloatingPointInRange(0.05F, 4.0F);
  std::vector<float> values(static_cast<std::size_t>(width) * height);
  for (float& value : values) value = input.remaining_bytes() >= sizeof(float) ? input.ConsumeFloatingPoint<float>() : 0;
  const int pageWidth = std::max(1, static_cast<int>(width / scale)), pageHeight = std::max(1, static_cast<int>(height / scale));
  const std::vector<tarnwick::TextLineBox> boxes = tarnwick::linesFromProbabilityMap(
      {.values = values.data(), .width = width, .height = height, .scaleX = scale, .scaleY = scale,
       .pageWidth = pageWidth, .pageHeight = pageHeight});
  for (const tarnwick::TextLineBox& box : boxes)
    for (const tarnwick::Point& corner : box.corners)
      if (!(corner.x >= 0 && corner.x <= pageWidth && corner.y >= 0 && corner.y <= pageHeight)) std::abort();
  auto page = tarnwick::createPixelBuffer(pageWidth, pageHeight, tarnwick::kPixelFormat32BGRA).buffer;
  if (page == nullptr) std::abort();
  const std::vector<tarnwick::TextLineBox> joined = tarnwick::joinedPiecesOfLines(boxes);
  if (joined.size() > boxes.size()) std::abort();
  const tarnwick::PageDrawing drawing{
      .edgeDown = [&](float l, float r, float t, float b) { return tarnwick::panelEdgeRunsDown(*page, l, r, t, b); },
      .ruleAcross = [&](float l, float r, float t, float b) { return tarnwick::ruleRunsAcross(*page, l, r, t, b); }};
  std::vector<int> seen(joined.size());
  for (const tarnwick::VisualLine& line : tarnwick::readingOrder(joined, drawing))
    for (const std::size_t box : line) ++seen.at(box);
  if (std::count(seen.begin(), seen.end(), 1) != std::ptrdiff_t(seen.size())) std::abort();
  for (std::size_t box = 0; box < boxes.size() && box < 8; ++box) {
    const tarnwick::GreyImage line = tarnwick::prepareLine(tarnwick::GreyView(*page), boxes[box]);
    if (line.pixels.size() != static_cast<std::size_t>(line.width) * line.height) std::abort();
  }
  return 0;
}
