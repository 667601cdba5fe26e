// Whatever lands at the path, the run ends at once with its one line, status
// 0 and nothing on stderr: files that are not images, headers claiming no
// pixels or far too many, paths to things that are not files or cannot be
// reached, and a file the caller may not read. (Damaged files of every
// format are the fuzzers'.)
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "support/test_support.h"

namespace tarnwick {
namespace {

using testing::errorLineFor;

std::string withBytesAt(std::string bytes, std::size_t at, const std::string& patch) {
  return bytes.replace(at, patch.size(), patch);
}

void expectRun(const std::vector<std::string>& arguments, const std::string& line, const testing::Launch& launch = {}) {
  const testing::ToolRun run = testing::runTool(arguments, launch);
  EXPECT_EQ(std::tuple(run.out, run.writes, run.err, run.exitStatus, run.terminatingSignal),
            std::tuple(line, 1, "", 0, 0))
      << arguments.back().substr(0, 100);
  testing::parseReportLine(run.out);
}

TEST(BadInput, EveryPathEndsAtOnceInItsOneLine) {
  const testing::TempDir dir;
  const auto file = [&](const std::string& name) { return dir.file(name); };
  // Height then width in a baseline JPEG's frame header.
  ASSERT_TRUE(testing::saved(testing::hello(), file("real.jpg")));
  const std::string jpeg = testing::readBytes(file("real.jpg"));
  const std::size_t frame = jpeg.find("\xFF\xC0") + 5;
  const std::pair<const char*, std::string> files[] = {
      {"zero.jpg", withBytesAt(jpeg, frame, std::string(4, '\0'))},
      {"huge.jpg", withBytesAt(jpeg, frame, std::string("\xFF\0\xFF\0", 4))},
      {"huge.pgm", "P5\n60000 60000\n255\n" + std::string(99, 'x')},
      {"huge.pbm", "P4\n8001 8001\n" + std::string(1001 * 8001, '\0')},  // whole, and just past the limit
      {"notes.txt", "just some words\n"},
      {"empty.png", ""}};
  for (const auto& [name, bytes] : files) testing::writeBytes(file(name), bytes);
  std::filesystem::create_directory(file("folder"));
  ASSERT_EQ(mkfifo(file("fifo.png").c_str(), 0600), 0);
  std::filesystem::create_symlink(file("loop.png"), file("loop.png"));
  const std::string odd = file("line\nfeed \"quoted\" back\\slash \x01\x1F\t\r \xFF");
  std::string tooLong = dir.path();
  while (tooLong.size() <= PATH_MAX) tooLong += "/deeper";
  const std::string unreadable = "load failed: not readable: ", noSource = "load failed: CGImageSource failed: ",
                    noImage = "load failed: no image at index 0: ", tooMany = "CVPixelBufferCreate failed status=-6662";
  const std::pair<std::string, std::string> cases[] = {
      {file("zero.jpg"), errorLineFor(noImage + file("zero.jpg"))},
      {file("huge.jpg"), errorLineFor("load failed: " + tooMany)},
      {file("huge.pgm"), errorLineFor(noImage + file("huge.pgm"))},
      {file("huge.pbm"), errorLineFor(noImage + file("huge.pbm"))},
      {file("notes.txt"), errorLineFor(noImage + file("notes.txt"))},
      {file("empty.png"), errorLineFor(noImage + file("empty.png"))},
      {file("no-such-folder/../notes.txt"), errorLineFor(noImage + file("no-such-folder/../notes.txt"))},
      {file("folder"), errorLineFor(noSource + file("folder"))},
      {file("fifo.png"), errorLineFor(noSource + file("fifo.png"))},
      {"/dev/zero", errorLineFor(noSource + "/dev/zero")},
      {file("missing.png"), errorLineFor(unreadable + file("missing.png"))},
      {file("loop.png"), errorLineFor(unreadable + file("loop.png"))},
      {tooLong, errorLineFor(unreadable + tooLong)},
      // Bytes of the path that are not UTF-8 are reported as U+FFFD.
      {odd + ".png", errorLineFor(unreadable + file("line\nfeed \"quoted\" back\\slash \x01\x1F\t\r \uFFFD.png"))},
  };
  for (const auto& [path, line] : cases) expectRun({path}, line);
}

// setpriv starts the tool with root's capabilities still in effect, so it
// runs even from a directory the user may not search; it then reads only
// what that user may, so it comes with its module into one the user may pass.
TEST(BadInput, FileTheCallerMayNotRead) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the tool as the throw-away user 65534";
  const testing::TempDir dir;
  for (auto parent = dir.path().parent_path(); parent != parent.root_path(); parent = parent.parent_path())
    if ((status(parent).permissions() & std::filesystem::perms::others_exec) == std::filesystem::perms::none)
      GTEST_SKIP() << "user 65534 may not reach " << parent;
  permissions(dir.path(), std::filesystem::perms::owner_all | std::filesystem::perms::others_exec);
  for (const char* shipped : {"tarnwick", "tarnwick-imaging.so"})
    copy_file(std::filesystem::path(TARNWICK_BINARY).parent_path() / shipped, dir.file(shipped));
  ASSERT_TRUE(testing::saved(testing::hello(), dir.file("private.png")));
  permissions(dir.file("private.png"), std::filesystem::perms::owner_read);
  expectRun({"--reuid=65534", "--regid=65534", "--clear-groups", dir.file("tarnwick"), dir.file("private.png")},
            errorLineFor("load failed: not readable: " + dir.file("private.png")), {.tool = "/usr/bin/setpriv"});
}

}  // namespace
}  // namespace tarnwick
