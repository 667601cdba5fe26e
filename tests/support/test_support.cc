#include "support/test_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>

#include <gtest/gtest.h>
#include <vips/vips.h>

extern char** environ;

namespace tarnwick::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tarnwick-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
  std::filesystem::remove_all(path_, ignored);
}

void VipsImageDeleter::operator()(VipsImage* image) const { g_object_unref(image); }

VipsImagePtr renderTextImage(const std::string& text, int pointSize, const std::string& font) {
  VIPS_INIT("tarnwick_tests");
  VipsImage* ink = nullptr;
  const std::string fontSpec = font + " " + std::to_string(pointSize);
  if (vips_text(&ink, text.c_str(), "font", fontSpec.c_str(), "dpi", 72, nullptr) != 0) {
    ADD_FAILURE() << "vips_text failed: " << vips_error_buffer();
    vips_error_clear();
    return nullptr;
  }
  VipsImagePtr inkOwner(ink);
  // vips_text gives ink coverage 0..255; paper is white, so invert and pad.
  VipsImage* inverted = nullptr;
  VipsImage* padded = nullptr;
  VipsImage* srgb = nullptr;
  const int margin = pointSize;
  if (vips_invert(ink, &inverted, nullptr) != 0) return nullptr;
  VipsImagePtr invertedOwner(inverted);
  if (vips_embed(inverted, &padded, margin, margin, inverted->Xsize + 2 * margin, inverted->Ysize + 2 * margin,
                 "extend", VIPS_EXTEND_WHITE, nullptr) != 0)
    return nullptr;
  VipsImagePtr paddedOwner(padded);
  if (vips_colourspace(padded, &srgb, VIPS_INTERPRETATION_sRGB, nullptr) != 0) return nullptr;
  return VipsImagePtr(srgb);
}

void saveImage(VipsImage* image, const std::string& pathWithOptions) {
  ASSERT_NE(image, nullptr);
  if (vips_image_write_to_file(image, pathWithOptions.c_str(), nullptr) != 0) {
    ADD_FAILURE() << "saving " << pathWithOptions << " failed: " << vips_error_buffer();
    vips_error_clear();
  }
}

namespace {

std::string drain(int fd) {
  std::string data;
  std::array<char, 65536> chunk{};
  ssize_t got = 0;
  while ((got = read(fd, chunk.data(), chunk.size())) > 0) data.append(chunk.data(), static_cast<std::size_t>(got));
  return data;
}

}  // namespace

ToolRun runTool(const std::vector<std::string>& arguments, const std::vector<std::string>& extraEnvironment,
                const Launch& launch) {
  std::vector<std::string> argvStrings = launch.wrapper;
  argvStrings.push_back(launch.tool);
  argvStrings.insert(argvStrings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& argument : argvStrings) argv.push_back(argument.data());
  argv.push_back(nullptr);

  std::vector<std::string> environmentStrings;
  for (char** entry = environ; *entry != nullptr; ++entry) environmentStrings.emplace_back(*entry);
  environmentStrings.insert(environmentStrings.end(), extraEnvironment.begin(), extraEnvironment.end());
  std::vector<char*> envp;
  for (auto& entry : environmentStrings) envp.push_back(entry.data());
  envp.push_back(nullptr);

  // Output goes to temporary files so a large or slow writer cannot block us.
  TempDir scratch;
  const std::string outPath = scratch.file("out"), errPath = scratch.file("err");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::array<int, 2> pipeEnds{-1, -1};
  switch (launch.standardOutput) {
    case StandardOutput::captured: break;
    case StandardOutput::closed: posix_spawn_file_actions_addclose(&actions, 1); break;
    case StandardOutput::devFull: posix_spawn_file_actions_addopen(&actions, 1, "/dev/full", O_WRONLY, 0); break;
    case StandardOutput::pipeWithoutReader:
      if (pipe2(pipeEnds.data(), O_CLOEXEC) != 0) ADD_FAILURE() << "pipe failed";
      close(pipeEnds[0]);
      posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
      break;
  }

  ToolRun run;
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (pipeEnds[1] >= 0) close(pipeEnds[1]);
  if (spawned != 0) {
    ADD_FAILURE() << "could not start " << argv[0];
    return run;
  }
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  run.peakRssKiB = usage.ru_maxrss;
  run.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.terminatingSignal = WTERMSIG(status);

  const int outFd = open(outPath.c_str(), O_RDONLY), errFd = open(errPath.c_str(), O_RDONLY);
  run.out = drain(outFd);
  run.err = drain(errFd);
  close(outFd);
  close(errFd);
  return run;
}

std::chrono::milliseconds promptly() {
  const char* scale = std::getenv("TARNWICK_TEST_TIME_SCALE");
  return std::chrono::milliseconds(1000 * (scale != nullptr ? std::max(1, std::atoi(scale)) : 1));
}

nlohmann::json parseReportLine(const std::string& out) {
  EXPECT_FALSE(out.empty()) << "no report line";
  if (out.empty()) return {};
  // One write to a file opened for appending, so lines from tests running
  // side by side never interleave.
  const int log = open(TARNWICK_REPORT_LOG, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  const std::string logged = out.back() == '\n' ? out : out + '\n';
  EXPECT_EQ(write(log, logged.data(), logged.size()), static_cast<ssize_t>(logged.size()))
      << "cannot log the report line to " << TARNWICK_REPORT_LOG;
  if (log >= 0) close(log);
  EXPECT_EQ(out.back(), '\n') << "report must end with a line feed";
  EXPECT_EQ(out.find('\n'), out.size() - 1) << "report must be exactly one line: " << out;
  try {
    return nlohmann::json::parse(out);
  } catch (const nlohmann::json::exception& error) {
    ADD_FAILURE() << "report is not JSON (" << error.what() << "): " << out;
    return {};
  }
}

std::string errorLineFor(const std::string& message) {
  // A real JSON library escapes the message; the tool also escapes "/",
  // which JSON allows either way.
  std::string escaped;
  for (const char c : nlohmann::json(message).dump()) escaped += c == '/' ? std::string("\\/") : std::string(1, c);
  return R"({"confidence_notes":[)" + escaped + R"(],"lines":[],"provider":"unavailable","text":""})" "\n";
}

}  // namespace tarnwick::testing

namespace tarnwick::testing {
namespace {

std::uint32_t crc32Of(const std::string& bytes) {
  std::uint32_t crc = 0xFFFFFFFFU;
  for (const unsigned char byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320U & (0U - (crc & 1U)));
  }
  return ~crc;
}

void appendBigEndian(std::string& bytes, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) bytes += static_cast<char>((value >> shift) & 0xFF);
}

void appendChunk(std::string& png, const std::string& type, const std::string& data) {
  appendBigEndian(png, static_cast<std::uint32_t>(data.size()));
  const std::string typed = type + data;
  png += typed;
  appendBigEndian(png, crc32Of(typed));
}

}  // namespace

std::string pngHeaderClaiming(std::uint32_t width, std::uint32_t height) {
  std::string png = "\x89PNG\r\n\x1a\n";
  std::string header;
  appendBigEndian(header, width);
  appendBigEndian(header, height);
  header += std::string("\x08\x00\x00\x00\x00", 5);  // 8-bit grey, no interlace
  appendChunk(png, "IHDR", header);
  appendChunk(png, "IDAT", "");
  appendChunk(png, "IEND", "");
  return png;
}

}  // namespace tarnwick::testing

namespace tarnwick::testing {

std::string takeVipsError() {
  std::string message = vips_error_buffer();
  vips_error_clear();
  return message;
}

const std::string kHelloWorldLine =
    R"({"confidence_notes":["provider vision_mac","recognition_languages en-US","weak_ocr: very short recognition"],)"
    R"("lines":["Hello world"],"provider":"vision_mac","text":"Hello world"})" "\n";

void RenderedTextSuite::SetUpTestSuite() {
  dir_ = std::make_unique<TempDir>();
  hello_ = renderTextImage("Hello world", 40).release();
}

void RenderedTextSuite::TearDownTestSuite() {
  g_object_unref(hello_);
  dir_.reset();
}

namespace {

bool ranCleanly(const std::string& tool, const std::vector<std::string>& arguments) {
  const ToolRun run = runTool(arguments, {}, {.wrapper = {}, .tool = tool});
  EXPECT_EQ(run.exitStatus, 0) << tool << ": " << run.err;
  return run.exitStatus == 0;
}

}  // namespace

bool RenderedTextSuite::converted(const std::string& name, const std::vector<std::string>& arguments,
                                  const std::string& prefix) {
  if (!saved(hello_, "encoder-source.png")) return false;
  std::vector<std::string> command{file("encoder-source.png")};
  command.insert(command.end(), arguments.begin(), arguments.end());
  command.push_back(prefix + file(name));
  return ranCleanly("/usr/bin/convert", command);
}

bool RenderedTextSuite::pillowSaved(const std::string& name, const std::string& options) {
  if (!saved(hello_, "encoder-source.png")) return false;
  const std::string script = "import sys\nfrom PIL import Image\nImage.open(sys.argv[1]).convert('RGB').save(sys.argv[2]" +
                             (options.empty() ? "" : ", " + options) + ")\n";
  return ranCleanly("/usr/bin/python3", {"-c", script, file("encoder-source.png"), file(name)});
}

bool RenderedTextSuite::saved(VipsImage* image, const std::string& name, const std::string& options) {
  if (vips_image_write_to_file(image, (file(name) + options).c_str(), nullptr) == 0) return true;
  vips_error_clear();
  return false;
}

}  // namespace tarnwick::testing
