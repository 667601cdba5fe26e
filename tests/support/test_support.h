#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

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

struct VipsImageDeleter {
  void operator()(VipsImage* image) const;
};
using VipsImagePtr = std::unique_ptr<VipsImage, VipsImageDeleter>;

// The image a libvips operation makes into its out-parameter, owned; fails
// the current test when the operation fails.
VipsImagePtr derived(const std::function<int(VipsImage**)>& operation);

// Black text rendered with the DejaVu fonts on a white, opaque 8-bit sRGB
// canvas with a margin around it. `pointSize` at 72 dpi equals pixels.
VipsImagePtr renderTextImage(const std::string& text, int pointSize = 32, const std::string& font = "DejaVu Sans");

// "Hello world" rendered once for the process, and the line the tool prints
// for it.
VipsImage* hello();
extern const std::string kHelloWorldLine;

// Saves through the saver the suffix picks, options in brackets
// ("x.jpg[Q=90]"); false when this libvips cannot.
bool saved(VipsImage* image, const std::string& pathWithOptions);

// hello() written by a real encoder to `path`: ImageMagick's convert with
// `arguments` between the PNG it reads and the output (named `prefix` +
// the path), or Pillow's Image.save from RGB with `options` as its keyword
// arguments. False, and the current test failed, when the encoder fails.
bool converted(const std::string& path, const std::vector<std::string>& arguments = {},
               const std::string& prefix = "");
bool pillowSaved(const std::string& path, const std::string& options = "");

std::string readBytes(const std::string& path);
void writeBytes(const std::string& path, const std::string& bytes);

// Where the tool's standard output goes. Captured output is a socket that
// keeps each write(2) apart, so a run can be held to writing its line once.
enum class StandardOutput { captured, closed, devFull, pipeWithoutReader };
struct Launch {
  std::string tool = TARNWICK_BINARY;  // or a program that runs it
  StandardOutput standardOutput = StandardOutput::captured;
};
struct ToolRun {
  std::string out, err;
  int writes = 0;  // the write(2) calls captured output took
  int exitStatus = -1, terminatingSignal = 0;
  long peakRssKiB = 0;  // the largest resident set of the run or any child it waited for
};
// Runs the tool with the arguments (argv[1]...) and /dev/null as its input.
ToolRun runTool(const std::vector<std::string>& arguments, const Launch& launch = {});

// Parses the one report line after checking it is exactly one line; fails
// the current test otherwise. Every line is also logged, for the check
// against the JSON Schema that runs after the tests.
nlohmann::json parseReportLine(const std::string& out);

// The exact error line the tool prints for a message.
std::string errorLineFor(const std::string& message);

}  // namespace tarnwick::testing
