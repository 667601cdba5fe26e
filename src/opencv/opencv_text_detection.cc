#include "opencv/opencv_text_detection.h"

#include <nettle/sha2.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <optional>
#include <utility>

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include "platform/library_setup.h"

namespace tarnwick {
namespace {

// The page is reduced until its longer side is at most this long before the
// network sees it: text a reader can make out stays a few pixels tall.
constexpr int kMaxDetectionSide = 960;
// Text on a page much larger than its lines, a full-screen screenshot above
// all, is reduced below what the network boxes well: its lines come out
// fewer than kSmallLineHeight map pixels tall, their boxes loose and some
// missed. Such a page is looked at again kFinerLook times as finely (never
// finer than the page itself), and the finer look's lines are kept, unless
// the finer copies would leave the network too little memory. A page where
// nothing was found is not: a photo without text would cost four times over.
constexpr float kSmallLineHeight = 11.5F;
constexpr double kFinerLook = 2;
// The network halves the page five times: its sides are multiples of this.
constexpr int kSideMultiple = 32;
// The network holds about 240 bytes per input pixel while it runs, its
// input included; the reduced page and its map hold kCopyBytesPerPixel more.
// The page, its copies and the network together are kept within
// kDetectionBytes: a page too large for one pass goes through in strips of
// rows, each seeing kStripContext rows of its neighbours', and their maps are
// put together. No strip is smaller than kMinForwardPixels, however large the
// page.
constexpr std::int64_t kNetworkBytesPerPixel = 240;
constexpr std::int64_t kCopyBytesPerPixel = 3 + sizeof(float);
constexpr std::int64_t kDetectionBytes = std::int64_t{128} << 20;
constexpr std::int64_t kMinForwardPixels = 150 * 1000;
constexpr int kStripContext = 32;
// Rows of the reduced page whose colours spread no further than this are
// flat ground. Reducing the page fades thin strokes, so only ground that is
// flat to within noise counts.
constexpr int kFlatSpread = 2;

// DB post-processing, as the detector was trained for: a pixel is text above
// kTextThreshold; a region is a line when its mean probability reaches
// kLineThreshold; the network marks a shrunk core of each line, grown back by
// area * kGrowth / perimeter on every side.
constexpr float kTextThreshold = 0.3F;
constexpr float kLineThreshold = 0.6F;
constexpr double kGrowth = 1.5;
constexpr float kMinSide = 3;  // map pixels
// Shorter than this many times its height, a region is taken to be upright.
constexpr float kSlantedLength = 2;
// A page of noise maps to countless specks; no page holds more lines.
constexpr std::size_t kMaxRegions = 4000;

// The per-channel normalisation the network was trained with, on BGR.
constexpr std::array<float, 3> kMean{0.485F, 0.456F, 0.406F};
constexpr std::array<float, 3> kDeviation{0.229F, 0.224F, 0.225F};

// Nettle keeps no global state: the check may still be running on its
// thread while a run that failed early is tearing the process down.
std::string sha256Hex(const std::string& bytes) {
  sha256_ctx context{};
  sha256_init(&context);
  sha256_update(&context, bytes.size(), reinterpret_cast<const std::uint8_t*>(bytes.data()));
  std::array<std::uint8_t, SHA256_DIGEST_SIZE> digest{};
  sha256_digest(&context, digest.size(), digest.data());
  std::string hex;
  for (const std::uint8_t byte : digest) {
    std::array<char, 3> pair{};
    std::snprintf(pair.data(), pair.size(), "%02x", byte);
    hex += pair.data();
  }
  return hex;
}

// The whole file in one read, as the model load waits on it; nothing when
// it cannot be read whole.
std::string fileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  const std::streamoff size = file ? static_cast<std::streamoff>(file.tellg()) : 0;
  if (size <= 0) return {};
  std::string bytes(static_cast<std::size_t>(size), '\0');
  if (!file.seekg(0) || !file.read(bytes.data(), size)) return {};
  return bytes;
}

PlatformError modelError(const std::string& why) {
  return textRecognitionError(TextRecognitionErrorCode::modelUnavailable, "The text detector " + why + ".");
}

int roundedUpToMultiple(int side) { return (side + kSideMultiple - 1) / kSideMultiple * kSideMultiple; }

int roundedToMultiple(double side) {
  return std::max(kSideMultiple, static_cast<int>(std::lround(side / kSideMultiple)) * kSideMultiple);
}

// The network's input size for the page reduced by `reduction`.
cv::Size inputSize(const PixelBuffer& page, double reduction) {
  return {roundedToMultiple(page.width() * reduction), roundedToMultiple(page.height() * reduction)};
}

// Map pixels per page pixel along each axis, for the page reduced to `input`.
cv::Point2f mapScale(const PixelBuffer& page, const cv::Size& input) {
  return {static_cast<float>(input.width) / page.width(), static_cast<float>(input.height) / page.height()};
}

// The page reduced to `size`, the network's input size.
cv::Mat reducedPage(const PixelBuffer& page, const cv::Size& size) {
  const BaseAddressLock lock(page, LockFlags::readOnly);
  const cv::Mat bgra(page.height(), page.width(), CV_8UC4, const_cast<std::uint8_t*>(page.baseAddress()),
                     page.bytesPerRow());
  // Reduced first: a full-size copy of a large scan would cost more memory
  // than the page itself.
  cv::Mat resized, bgr;
  cv::resize(bgra, resized, size, 0, 0, size.area() < bgra.size().area() ? cv::INTER_AREA : cv::INTER_LINEAR);
  cv::cvtColor(resized, bgr, cv::COLOR_BGRA2BGR);
  return bgr;
}

// Rows of the reduced page as the network takes them: a blob of 3 planes of
// floats, normalised as in training. Each plane is written in place, the
// blob being the only float copy of the page made.
cv::Mat networkInput(const cv::Mat& bgr) {
  const std::array<int, 4> shape{1, static_cast<int>(kMean.size()), bgr.rows, bgr.cols};
  cv::Mat blob(shape.size(), shape.data(), CV_32F);
  cv::Mat channel;
  for (std::size_t plane = 0; plane < kMean.size(); ++plane) {
    cv::Mat normalised(bgr.rows, bgr.cols, CV_32F, blob.ptr<float>(0, static_cast<int>(plane)));
    cv::extractChannel(bgr, channel, static_cast<int>(plane));
    channel.convertTo(normalised, CV_32F, 1.0 / 255);
    cv::subtract(normalised, cv::Scalar(kMean[plane]), normalised);
    cv::divide(normalised, cv::Scalar(kDeviation[plane]), normalised);
  }
  return blob;
}

// Whether each row of the reduced page holds anything but one flat colour:
// only those can hold text.
std::vector<bool> inkedRows(const cv::Mat& bgr) {
  cv::Mat lowest, highest;
  cv::reduce(bgr, lowest, 1, cv::REDUCE_MIN);
  cv::reduce(bgr, highest, 1, cv::REDUCE_MAX);
  const cv::Mat spread = cv::Mat(highest - lowest).reshape(1, bgr.rows);  // a row's spread in each channel
  std::vector<bool> inked(static_cast<std::size_t>(bgr.rows));
  for (int row = 0; row < bgr.rows; ++row) {
    const std::uint8_t* channels = spread.ptr<std::uint8_t>(row);
    inked[static_cast<std::size_t>(row)] = std::max({channels[0], channels[1], channels[2]}) > kFlatSpread;
  }
  return inked;
}

// The input pixels the memory budget leaves one pass of the network beside
// the page and its copies reduced to `input`; fewer than none when the page
// alone is over budget.
std::int64_t spareForwardPixels(const PixelBuffer& page, const cv::Size& input) {
  const std::int64_t pageBytes = std::int64_t{page.height()} * page.bytesPerRow();
  const std::int64_t copyBytes = std::int64_t{input.area()} * kCopyBytesPerPixel;
  return (kDetectionBytes - pageBytes - copyBytes) / kNetworkBytesPerPixel;
}

// Rows of the map each strip contributes: the strips share the rows out
// evenly, in whole multiples of kSideMultiple, as few strips as keep each
// with its context within `mostPixels`.
int stripRows(const cv::Size& input, std::int64_t mostPixels) {
  if (input.area() <= mostPixels) return input.height;
  const auto fitting = static_cast<int>(mostPixels / input.width) - 2 * kStripContext;
  const int mostRows = std::max(kSideMultiple, fitting / kSideMultiple * kSideMultiple);
  const int strips = (input.height + mostRows - 1) / mostRows;
  return roundedUpToMultiple((input.height + strips - 1) / strips);
}

bool isMapOf(const cv::Mat& output, int rows, int columns) {
  return output.dims == 4 && output.size[0] == 1 && output.size[1] == 1 && output.size[2] == rows &&
         output.size[3] == columns && output.type() == CV_32F;
}

// Mean probability inside the region's outline.
float regionScore(const cv::Mat& probability, const std::vector<cv::Point>& outline) {
  const cv::Rect bounds = cv::boundingRect(outline) & cv::Rect(0, 0, probability.cols, probability.rows);
  if (bounds.empty()) return 0;
  cv::Mat mask = cv::Mat::zeros(bounds.size(), CV_8U);
  std::vector<cv::Point> shifted;
  for (const cv::Point& point : outline) shifted.push_back(point - bounds.tl());
  cv::fillPoly(mask, std::vector<std::vector<cv::Point>>{shifted}, cv::Scalar(1));
  return static_cast<float>(cv::mean(probability(bounds), mask)[0]);
}

// The rectangle's corners clockwise from the top left of its text, taking
// the pair of sides nearer the horizontal as the top and bottom.
std::array<Point, 4> corners(const cv::RotatedRect& rect) {
  std::array<cv::Point2f, 4> points;
  rect.points(points.data());
  const cv::Point2f side = points[1] - points[0];
  const std::size_t first = std::abs(side.x) >= std::abs(side.y) ? 0 : 1;
  std::array<cv::Point2f, 2> one{points[first], points[first + 1]}, other{points[(first + 2) % 4], points[(first + 3) % 4]};
  if (one[0].y + one[1].y > other[0].y + other[1].y) std::swap(one, other);
  const auto leftFirst = [](std::array<cv::Point2f, 2>& edge) {
    if (edge[0].x > edge[1].x) std::swap(edge[0], edge[1]);
  };
  leftFirst(one), leftFirst(other);
  return {Point{one[0].x, one[0].y}, Point{one[1].x, one[1].y}, Point{other[1].x, other[1].y},
          Point{other[0].x, other[0].y}};
}

// The network's map of the reduced page, strip by strip; none when the
// network gives a map of another shape. Strips of flat ground are not run:
// they hold no text.
std::optional<cv::Mat> textProbability(cv::dnn::Net& net, const cv::Mat& page, std::int64_t mostPixels) {
  const std::vector<bool> inked = inkedRows(page);
  cv::Mat probability = cv::Mat::zeros(page.size(), CV_32F);
  // Every strip has one shape: the network sets itself up again, at about a
  // strip's cost, whenever its input changes shape.
  const int rows = stripRows(page.size(), mostPixels);
  const int window = std::min(page.rows, rows + 2 * kStripContext);
  for (int start = 0; start < page.rows; start += rows) {
    const int kept = std::min(rows, page.rows - start);
    if (std::none_of(inked.begin() + start, inked.begin() + start + kept, [](bool row) { return row; })) continue;
    const int from = std::clamp(start - kStripContext, 0, page.rows - window);
    net.setInput(networkInput(page.rowRange(from, from + window)));
    const cv::Mat output = net.forward();
    if (!isMapOf(output, window, page.cols)) return std::nullopt;
    const cv::Mat strip(window, page.cols, CV_32F, const_cast<float*>(output.ptr<float>()));
    strip.rowRange(start - from, start - from + kept).copyTo(probability.rowRange(start, start + kept));
  }
  return probability;
}

}  // namespace

std::vector<TextLineBox> linesFromProbabilityMap(const ProbabilityMap& map) {
  std::vector<TextLineBox> lines;
  if (map.values == nullptr || map.width <= 0 || map.height <= 0 || !(map.scaleX > 0) || !(map.scaleY > 0)) return lines;
  const cv::Mat probability(map.height, map.width, CV_32F, const_cast<float*>(map.values));
  // NaN is no text: it fails every comparison.
  const cv::Mat text = probability > kTextThreshold;
  std::vector<std::vector<cv::Point>> regions;
  cv::findContours(text, regions, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
  if (regions.size() > kMaxRegions) regions.resize(kMaxRegions);
  for (const std::vector<cv::Point>& outline : regions) {
    if (outline.size() < 3) continue;
    cv::RotatedRect rect = cv::minAreaRect(outline);
    // A blob hardly longer than it is tall (a lone letter or digit) shows no
    // slant in its outline: its tightest rectangle may stand at any angle,
    // so it keeps its upright one.
    if (std::max(rect.size.width, rect.size.height) < kSlantedLength * std::min(rect.size.width, rect.size.height)) {
      const cv::Rect2f upright = cv::boundingRect(outline);
      rect = cv::RotatedRect((upright.tl() + upright.br()) / 2, upright.size(), 0);
    }
    if (std::min(rect.size.width, rect.size.height) < kMinSide) continue;
    const float score = regionScore(probability, outline);
    if (!(score >= kLineThreshold)) continue;
    const double perimeter = cv::arcLength(outline, true);
    const double growth = perimeter > 0 ? cv::contourArea(outline) * kGrowth / perimeter : 0;
    rect.size.width += static_cast<float>(2 * growth), rect.size.height += static_cast<float>(2 * growth);
    TextLineBox line{.corners = corners(rect), .score = score};
    for (Point& corner : line.corners) {
      corner.x = std::clamp(corner.x / map.scaleX, 0.0F, static_cast<float>(map.pageWidth));
      corner.y = std::clamp(corner.y / map.scaleY, 0.0F, static_cast<float>(map.pageHeight));
    }
    lines.push_back(line);
  }
  return lines;
}

namespace {

// The lines found on the page reduced to `input`; none when the network
// gives a map of another shape.
std::optional<std::vector<TextLineBox>> linesAt(cv::dnn::Net& net, const PixelBuffer& pageBuffer, const cv::Size& input) {
  const cv::Mat page = reducedPage(pageBuffer, input);
  const std::optional<cv::Mat> probability =
      textProbability(net, page, std::max(kMinForwardPixels, spareForwardPixels(pageBuffer, input)));
  if (!probability) return std::nullopt;
  const cv::Point2f scale = mapScale(pageBuffer, input);
  const ProbabilityMap map{.values = probability->ptr<float>(),
                           .width = probability->cols,
                           .height = probability->rows,
                           .scaleX = scale.x,
                           .scaleY = scale.y,
                           .pageWidth = pageBuffer.width(),
                           .pageHeight = pageBuffer.height()};
  return linesFromProbabilityMap(map);
}

}  // namespace

struct OpenCvTextDetection::Model {
  cv::dnn::Net net;
  std::optional<PlatformError> error;
};

OpenCvTextDetection::OpenCvTextDetection(std::string modelPath, std::string expectedSha256)
    : modelPath_(std::move(modelPath)) {
  loading_ = std::async(std::launch::async, [path = modelPath_, expected = std::move(expectedSha256)] {
    limitOpenMPToCallingThread();
    auto model = std::make_unique<Model>();
    const std::string bytes = fileBytes(path);
    if (bytes.empty()) {
      model->error = modelError("could not read its model " + path);
      return model;
    }
    if (sha256Hex(bytes) != expected) {
      model->error = modelError("model " + path + " is damaged: its checksum is not the one shipped");
      return model;
    }
    try {
      model->net = cv::dnn::readNetFromONNX(bytes.data(), bytes.size());
      model->net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    } catch (const cv::Exception&) {
      model->error = modelError("could not load its model " + path);
    }
    return model;
  });
}

OpenCvTextDetection::~OpenCvTextDetection() { waitUntilLoaded(); }

void OpenCvTextDetection::waitUntilLoaded() {
  if (loading_.valid()) model_ = loading_.get();
}

TextDetectionResult OpenCvTextDetection::detectLines(const PixelBuffer& pageBuffer) {
  waitUntilLoaded();
  if (model_->error) return {.lines = {}, .error = model_->error};
  try {
    const double reduction =
        std::min(1.0, static_cast<double>(kMaxDetectionSide) / std::max(pageBuffer.width(), pageBuffer.height()));
    const cv::Size coarse = inputSize(pageBuffer, reduction);
    std::optional<std::vector<TextLineBox>> lines = linesAt(model_->net, pageBuffer, coarse);
    const cv::Size finer = inputSize(pageBuffer, std::min(1.0, reduction * kFinerLook));
    if (lines && reduction < 1 && !lines->empty() &&
        typicalHeight(*lines) * mapScale(pageBuffer, coarse).y < kSmallLineHeight &&
        spareForwardPixels(pageBuffer, finer) >= kMinForwardPixels)
      lines = linesAt(model_->net, pageBuffer, finer);
    if (!lines)
      return {.lines = {}, .error = textRecognitionError(TextRecognitionErrorCode::recognitionFailed,
                                                         "The text detector gave a map of an unexpected shape.")};
    return {.lines = std::move(*lines), .error = std::nullopt};
  } catch (const cv::Exception&) {
    return {.lines = {}, .error = textRecognitionError(TextRecognitionErrorCode::recognitionFailed,
                                                       "The text detector could not run over the image.")};
  }
}

}  // namespace tarnwick
