#pragma once

// Brings GoogleTest, libvips and the POSIX calls the tests make.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vips/vips.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

extern char** environ;

namespace tarnwick::testing {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the value goes.
struct TempDir {
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarnwick-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  std::filesystem::path path_;
};

struct VipsImageDeleter { void operator()(VipsImage* image) const { g_object_unref(image); } };
using VipsImagePtr = std::unique_ptr<VipsImage, VipsImageDeleter>;

// The image a libvips operation makes into its out-parameter, owned; fails
// the current test when the operation fails.
inline VipsImagePtr derived(const std::function<int(VipsImage**)>& operation) {
  VipsImage* out = nullptr;
  EXPECT_EQ(operation(&out), 0) << vips_error_buffer();
  vips_error_clear();
  return VipsImagePtr(out);
}

// Black DejaVu Sans text on a white, opaque 8-bit sRGB canvas with a margin
// around it. `pointSize` at 72 dpi equals pixels.
inline VipsImagePtr renderTextImage(const std::string& text, int pointSize = 32) {
  VIPS_INIT("tarnwick_tests");
  // vips_text gives ink coverage; paper is white, so invert and pad.
  const std::string font = "DejaVu Sans " + std::to_string(pointSize);
  VipsImagePtr image =
      derived([&](VipsImage** out) { return vips_text(out, text.c_str(), "font", font.c_str(), "dpi", 72, nullptr); });
  image = derived([&](VipsImage** out) { return vips_invert(image.get(), out, nullptr); });
  image = derived([&](VipsImage** out) {
    return vips_embed(image.get(), out, pointSize, pointSize, image->Xsize + 2 * pointSize,
                      image->Ysize + 2 * pointSize, "extend", VIPS_EXTEND_WHITE, nullptr);
  });
  return derived(
      [&](VipsImage** out) { return vips_colourspace(image.get(), out, VIPS_INTERPRETATION_sRGB, nullptr); });
}

// "Hello world" rendered once for the process, and the line the tool prints
// for it.
inline VipsImage* hello() {
  static const VipsImagePtr image = renderTextImage("Hello world", 40);
  return image.get();
}
inline const std::string kHelloWorldLine =
    R"({"confidence_notes":["provider vision_mac","recognition_languages en-US","weak_ocr: very short recognition"],)"
    R"("lines":["Hello world"],"provider":"vision_mac","text":"Hello world"})" "\n";

// Saves through the saver the suffix picks, options in brackets
// ("x.jpg[Q=90]"); false when this libvips cannot.
inline bool saved(VipsImage* image, const std::string& pathWithOptions) {
  const bool ok = image != nullptr && vips_image_write_to_file(image, pathWithOptions.c_str(), nullptr) == 0;
  vips_error_clear();
  return ok;
}

inline std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}
inline void writeBytes(const std::string& path, const std::string& b) { std::ofstream(path, std::ios::binary) << b; }

// Where the tool's standard output goes. Captured output is a socket that
// keeps each write(2) apart, so a run can be held to writing its line once.
enum class StandardOutput { captured, closed, devFull, pipeWithoutReader };
struct Launch {
  std::string tool = TARNWICK_BINARY;  // or a program that runs it
  StandardOutput standardOutput = StandardOutput::captured;
};
struct ToolRun {
  std::string out{}, err{};
  int writes = 0;       // the write(2) calls captured output took
  int exitStatus = -1;  // as a shell gives it: 128 + the signal that ended it
  long peakRssKiB = 0;  // the largest resident set of the run or any child it waited for
};

// Runs the program with the arguments (argv[1]...) and /dev/null as its input.
inline ToolRun runTool(const std::vector<std::string>& arguments, const Launch& launch = {}) {
  std::vector<char*> argv{const_cast<char*>(launch.tool.c_str())};
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const int err = memfd_create("tool-stderr", MFD_CLOEXEC);
  std::array<int, 2> out{-1, -1};  // ours, the tool's
  const StandardOutput to = launch.standardOutput;
  if (to == StandardOutput::captured) socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, out.data());
  if (to == StandardOutput::pipeWithoutReader && pipe2(out.data(), O_CLOEXEC) == 0) close(std::exchange(out[0], -1));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, err, 2);
  if (out[1] >= 0) posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  if (to == StandardOutput::closed) posix_spawn_file_actions_addclose(&actions, 1);
  if (to == StandardOutput::devFull) posix_spawn_file_actions_addopen(&actions, 1, "/dev/full", O_WRONLY, 0);
  pid_t pid = 0;
  int status = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (out[1] >= 0) close(out[1]);
  rusage usage{};
  if (spawned != 0 || wait4(pid, &status, 0, &usage) != pid) ADD_FAILURE() << "could not run " << argv[0];
  ToolRun run{.exitStatus = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status),
              .peakRssKiB = usage.ru_maxrss};
  std::array<char, 1 << 16> chunk{};
  for (ssize_t got = 0; out[0] >= 0 && (got = recv(out[0], chunk.data(), chunk.size(), MSG_DONTWAIT)) > 0; ++run.writes)
    run.out.append(chunk.data(), std::size_t(got));
  for (ssize_t got = 0; (got = pread(err, chunk.data(), chunk.size(), off_t(run.err.size()))) > 0;)
    run.err.append(chunk.data(), std::size_t(got));
  if (out[0] >= 0) close(out[0]);
  close(err);
  return run;
}

// Parses the one report line after checking it is exactly one line; fails
// the current test otherwise. Every line is also logged, in one write to a
// file opened for appending so lines of tests running side by side never
// interleave, for the check against the JSON Schema after the tests.
inline nlohmann::json parseReportLine(const std::string& out) {
  const int log = open(TARNWICK_REPORT_LOG, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  const std::string logged = out.ends_with('\n') ? out : out + '\n';
  EXPECT_EQ(write(log, logged.data(), logged.size()), ssize_t(logged.size())) << TARNWICK_REPORT_LOG;
  close(log);
  EXPECT_TRUE(!out.empty() && out.find('\n') == out.size() - 1) << "not exactly one line: " << out;
  const nlohmann::json json = nlohmann::json::parse(out, nullptr, false);
  EXPECT_FALSE(json.is_discarded()) << "not JSON: " << out;
  return json;
}

// The exact error line the tool prints for a message. A real JSON library
// escapes the message; the tool also escapes "/", which JSON allows either way.
inline std::string errorLineFor(const std::string& message) {
  std::string escaped;
  for (const char c : nlohmann::json(message).dump()) escaped += c == '/' ? std::string("\\/") : std::string(1, c);
  return R"({"confidence_notes":[)" + escaped + R"(],"lines":[],"provider":"unavailable","text":""})" "\n";
}

}  // namespace tarnwick::testing
