// Runs of the real binary where the process is the point: its streams, its
// status, its modules; then the process-wide start-up, the deadline and the
// embedding interface.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "app/process_startup.h"
#include "app/run_deadline.h"
#include "support/test_support.h"
#include "tarnwick/tarnwick.h"

namespace tarnwick {
namespace {

using testing::errorLineFor;
using testing::kHelloWorldLine;
using testing::StandardOutput;

TEST(EndToEnd, EveryRunWritesItsOneLineOnceAndOnlyTheUsageLineToStderr) {
  const testing::TempDir dir;
  ASSERT_TRUE(testing::saved(testing::hello(), dir.file("hello.png")));
  ASSERT_TRUE(testing::saved(testing::hello(), dir.file("hello.heic")));
  std::filesystem::copy_file(TARNWICK_BINARY, dir.file("tarnwick"));  // away from its module
  const std::vector<std::string> chatty{"G_MESSAGES_DEBUG=all", "VIPS_INFO=1", "OMP_DISPLAY_ENV=true", TARNWICK_BINARY};
  std::vector<std::tuple<std::vector<std::string>, testing::Launch, std::string>> cases = {
      {{}, {}, errorLineFor("usage: tarnwick <image-path>")},
      {{chatty[0], chatty[1], chatty[2], chatty[3], dir.file("hello.png")}, {.tool = "/usr/bin/env"}, kHelloWorldLine},
      {{dir.file("hello.heic")}, {}, kHelloWorldLine},
      {{dir.file("hello.png")}, {.tool = dir.file("tarnwick")},
       errorLineFor("cannot load the imaging module tarnwick-imaging.so")}};
  // Output that cannot be written: no line, and still no signal.
  for (const auto output : {StandardOutput::closed, StandardOutput::devFull, StandardOutput::pipeWithoutReader})
    for (const auto& arguments : {std::vector<std::string>{}, {dir.file("missing.png")}})
      cases.emplace_back(arguments, testing::Launch{.standardOutput = output}, "");
  for (const auto& [arguments, launch, line] : cases) {
    const testing::ToolRun run = testing::runTool(arguments, launch);
    const bool usage = arguments.empty();
    EXPECT_EQ(std::tuple(run.out, run.writes, run.err, run.exitStatus, run.terminatingSignal),
              std::tuple(line, line.empty() ? 0 : 1, usage ? "usage: tarnwick <image-path>\n" : "", usage ? 2 : 0, 0))
        << (usage ? "no path" : arguments.back()) << ", output " << int(launch.standardOutput);
    if (!line.empty()) testing::parseReportLine(run.out);
  }
}

// The standard descriptors and the stream for the tool's own words once a
// child, with the given descriptors closed, has started the platform: kept
// as they were, the null device (for reading or writing), or closed.
std::string startedWith(const std::vector<int>& closed) {
  std::array<int, 2> report{};
  EXPECT_EQ(pipe(report.data()), 0);
  const pid_t child = fork();
  if (child == 0) {
    for (const int fd : {0, 1, 2}) dup2(open("/dev/zero", O_RDWR), fd);  // what they are before
    for (const int fd : closed) close(fd);
    const int own = fileno(startPlatform());
    struct stat zero{}, null{}, seen{};
    stat("/dev/zero", &zero), stat("/dev/null", &null);
    std::string state = own > 2 ? "" : "standard ";
    for (const int fd : {0, 1, 2, own}) {
      const bool open = fstat(fd, &seen) == 0;
      state += open && seen.st_rdev == null.st_rdev ? std::string("null-") + "rw"[fcntl(fd, F_GETFL) & O_ACCMODE] + ' '
               : open && seen.st_rdev == zero.st_rdev ? "kept " : "closed ";
    }
    _exit(write(report[1], state.data(), state.size()) == ssize_t(state.size()) ? 0 : 1);
  }
  close(report[1]);
  std::array<char, 256> state{};
  const ssize_t got = read(report[0], state.data(), state.size());
  close(report[0]);
  waitpid(child, nullptr, 0);
  return std::string(state.data(), std::size_t(std::max<ssize_t>(got, 0)));
}

TEST(ProcessStartup, KeepsTheStandardDescriptorsTakenAndStderrForTheToolAlone) {
  EXPECT_EQ(startedWith({}), "kept kept null-w kept ");
  EXPECT_EQ(startedWith({2}), "kept kept null-w null-w ");
  EXPECT_EQ(startedWith({0, 1, 2}), "null-r null-w null-w null-w ");
}

TEST(RunDeadline, EndsAStuckRunWithItsLineAndLetsAFinishedOneGo) {
  const testing::TempDir dir;
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(dir.file("out").c_str(), "w"), std::fclose);
  EXPECT_EXIT(
      {
        const RunDeadline deadline(std::chrono::milliseconds(50), "late\n", out.get());
        std::this_thread::sleep_for(std::chrono::minutes(10));
      },
      ::testing::ExitedWithCode(0), "");
  // Far beyond the hang guard: only the end of the run stops this clock.
  { const RunDeadline deadline(std::chrono::minutes(10), "never\n", out.get()); }
  std::fflush(out.get());
  EXPECT_EQ(testing::readBytes(dir.file("out")), "late\n");
}

TEST(Embedding, GivesTheToolsLineAndPrintsNothing) {
  const testing::TempDir dir;
  ASSERT_TRUE(testing::saved(testing::hello(), dir.file("hello.png")));
  testing::writeBytes(dir.file("notes.txt"), "just some words\n");
  ::testing::internal::CaptureStderr();
  for (const auto& [path, line] :
       {std::pair{dir.file("hello.png"), kHelloWorldLine},
        {dir.file("missing.png"), errorLineFor("load failed: not readable: " + dir.file("missing.png"))},
        {dir.file("notes.txt"), errorLineFor("load failed: no image at index 0: " + dir.file("notes.txt"))}})
    EXPECT_EQ(reportLine(recognizeImageFile(path)), line);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace tarnwick
