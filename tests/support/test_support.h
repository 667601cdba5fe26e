#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

typedef struct _VipsImage VipsImage;

namespace tarnwick::testing {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the value goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Owning handle for images built in tests.
struct VipsImageDeleter {
  void operator()(VipsImage* image) const;
};
using VipsImagePtr = std::unique_ptr<VipsImage, VipsImageDeleter>;

// libvips' last error message, cleared.
std::string takeVipsError();

// The image a libvips operation makes into its out-parameter, owned; fails
// the current test when the operation fails.
template <typename Operation>
VipsImagePtr derived(Operation operation) {
  VipsImage* out = nullptr;
  EXPECT_EQ(operation(&out), 0) << takeVipsError();
  return VipsImagePtr(out);
}

// Black text rendered with the DejaVu fonts on a white, opaque 8-bit sRGB
// canvas with a margin around it. `pointSize` at 72 dpi equals pixels.
VipsImagePtr renderTextImage(const std::string& text, int pointSize = 32, const std::string& font = "DejaVu Sans");

// Saves through the loader chosen by the file name's suffix (".png",
// ".jpg[Q=90]", ...). Fails the current test on error.
void saveImage(VipsImage* image, const std::string& pathWithOptions);

struct ToolRun {
  std::string out;
  std::string err;
  int exitStatus = -1;       // -1 when killed by a signal
  int terminatingSignal = 0;
  std::chrono::milliseconds elapsed{0};
  long peakRssKiB = 0;
};

// Bound for "ends promptly": one second, stretched by TARNWICK_TEST_TIME_SCALE
// for instrumented builds.
std::chrono::milliseconds promptly();

// Where the tool's standard output goes.
enum class StandardOutput { captured, closed, devFull, pipeWithoutReader };

// How the tool is started, beyond its arguments and environment.
struct Launch {
  std::vector<std::string> wrapper;  // a program (full path) and arguments that run the tool
  std::string tool = TARNWICK_BINARY;  // the tarnwick binary to run
  StandardOutput standardOutput = StandardOutput::captured;
};

// Runs the built tarnwick binary with the arguments (argv[1]...), no stdin.
ToolRun runTool(const std::vector<std::string>& arguments, const std::vector<std::string>& extraEnvironment = {},
                const Launch& launch = {});

// Parses the single report line with a real JSON parser after checking it is
// exactly one line; fails the current test otherwise. Every line is also
// appended to the log that the last test checks against the JSON Schema.
nlohmann::json parseReportLine(const std::string& out);

// The exact error line the tool prints for a message.
std::string errorLineFor(const std::string& message);

}  // namespace tarnwick::testing

namespace tarnwick::testing {

// A PNG made of its signature, a header claiming the given size, an empty
// data chunk and the end chunk: what a decompression bomb shows a decoder.
std::string pngHeaderClaiming(std::uint32_t width, std::uint32_t height);

}  // namespace tarnwick::testing

namespace tarnwick::testing {

// The line the tool prints for the rendered "Hello world" of RenderedTextSuite.
extern const std::string kHelloWorldLine;

// Suites that save variants of one rendered "Hello world" into a scratch
// directory and run the tool on them.
class RenderedTextSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  static std::string file(const std::string& name) { return dir_->file(name); }
  // Saves the image under the name with saver options ("[Q=90]"); false when
  // this libvips has no saver for it.
  static bool saved(VipsImage* image, const std::string& name, const std::string& options = "");
  // The same "Hello world" written by a real encoder into `name`:
  // ImageMagick's convert with `arguments` between the PNG it reads and the
  // output (named `prefix` + the path), or Pillow's Image.save from RGB with
  // `options` as its keyword arguments. False when the encoder failed.
  static bool converted(const std::string& name, const std::vector<std::string>& arguments = {},
                        const std::string& prefix = "");
  static bool pillowSaved(const std::string& name, const std::string& options = "");

  static inline std::unique_ptr<TempDir> dir_;
  static inline VipsImage* hello_ = nullptr;
};

}  // namespace tarnwick::testing
