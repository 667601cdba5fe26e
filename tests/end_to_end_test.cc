// Runs of the real binary where the process is the point: its streams, its
// status, its modules; then the process-wide start-up, the deadline and the
// embedding interface.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <omp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vips/vips.h>

#include <csignal>
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
  ASSERT_TRUE(testing::saved(testing::hello(), dir.file("hello.png")) &&
              testing::saved(testing::hello(), dir.file("hello.heic")));
  // Stored turned a quarter to the left, with EXIF saying turn right to view.
  const testing::VipsImagePtr turned =
      testing::derived([](VipsImage** out) { return vips_rot(testing::hello(), out, VIPS_ANGLE_D270, nullptr); });
  vips_image_set_int(turned.get(), VIPS_META_ORIENTATION, 6);
  ASSERT_TRUE(testing::saved(turned.get(), dir.file("turned.jpg[Q=95]")));
  std::filesystem::copy_file(TARNWICK_BINARY, dir.file("tarnwick"));  // away from its module
  const std::string missing = dir.file("missing.png"), tooLong = dir.file(std::string(5000, 'x'));
  const std::tuple<std::vector<std::string>, testing::Launch, std::string> cases[] = {
      {{}, {}, errorLineFor("usage: tarnwick <image-path>")},
      {{dir.file("hello.png")},
       {.environment = {"G_MESSAGES_DEBUG=all", "VIPS_INFO=1", "OMP_DISPLAY_ENV=true"}},
       kHelloWorldLine},
      {{dir.file("turned.jpg")}, {}, kHelloWorldLine},
      {{dir.file("hello.heic")}, {}, kHelloWorldLine},
      {{tooLong}, {}, errorLineFor("load failed: not readable: " + tooLong)},
      {{dir.file("hello.png")},
       {.tool = dir.file("tarnwick")},
       errorLineFor("cannot load the imaging module tarnwick-imaging.so")},
      // Output that cannot be written: no line, and still no signal.
      {{}, {.standardOutput = StandardOutput::closed}, ""},
      {{missing}, {.standardOutput = StandardOutput::closed}, ""},
      {{}, {.standardOutput = StandardOutput::devFull}, ""},
      {{missing}, {.standardOutput = StandardOutput::devFull}, ""},
      {{}, {.standardOutput = StandardOutput::pipeWithoutReader}, ""},
      {{missing}, {.standardOutput = StandardOutput::pipeWithoutReader}, ""},
  };
  for (const auto& [arguments, launch, line] : cases) {
    const testing::ToolRun run = testing::runTool(arguments, launch);
    const bool usage = arguments.empty();
    EXPECT_EQ(std::tuple(run.out, run.writes, run.err, run.exitStatus, run.terminatingSignal),
              std::tuple(line, line.empty() ? 0 : 1, usage ? "usage: tarnwick <image-path>\n" : "", usage ? 2 : 0, 0))
        << (usage ? "no path" : arguments[0].substr(0, 80)) << ", output " << int(launch.standardOutput) << ", "
        << launch.tool;
    if (!line.empty()) testing::parseReportLine(run.out);
  }
}

// What the standard descriptors, the stream for the tool's own words and
// the process's settings are once a child, with the given descriptors
// closed, has started the platform.
std::string startedWith(const std::vector<int>& closed) {
  std::array<int, 2> report{};
  EXPECT_EQ(pipe(report.data()), 0);
  const pid_t child = fork();
  if (child == 0) {
    for (const int fd : {0, 1, 2}) dup2(open("/dev/zero", O_RDWR), fd);  // what they are before
    for (const int fd : closed) close(fd);
    setenv("VIPSHOME", "/usr", 1);
    std::FILE* own = startPlatform();
    struct stat zero {
    }, null{}, seen{};
    stat("/dev/zero", &zero), stat("/dev/null", &null);
    std::string state;
    for (const int fd : {0, 1, 2, fileno(own)})
      state += fstat(fd, &seen) != 0          ? "closed "
               : seen.st_rdev == null.st_rdev ? std::string("null-") + "rw"[fcntl(fd, F_GETFL) & O_ACCMODE] + ' '
               : seen.st_rdev == zero.st_rdev ? "kept "
                                              : "other ";
    struct sigaction onPipe {};
    sigaction(SIGPIPE, nullptr, &onPipe);
    state += std::string(onPipe.sa_handler == SIG_IGN ? "SIGPIPE ignored" : "SIGPIPE") + ", VIPSHOME " +
             std::getenv("VIPSHOME") + ", OpenMP levels " + std::to_string(omp_get_max_active_levels()) +
             (fileno(own) > 2 ? "" : ", own stream standard");
    _exit(write(report[1], state.data(), state.size()) == ssize_t(state.size()) ? 0 : 1);
  }
  close(report[1]);
  std::string state(4096, '\0');
  state.resize(std::size_t(std::max<ssize_t>(0, read(report[0], state.data(), state.size()))));
  close(report[0]);
  waitpid(child, nullptr, 0);
  return state;
}

TEST(ProcessStartup, KeepsTheStandardDescriptorsTakenAndStderrForTheToolAlone) {
  const std::string settings = "SIGPIPE ignored, VIPSHOME /nonexistent, OpenMP levels 0";
  EXPECT_EQ(startedWith({}), "kept kept null-w kept " + settings);
  EXPECT_EQ(startedWith({2}), "kept kept null-w null-w " + settings);
  EXPECT_EQ(startedWith({0}), "null-r kept null-w kept " + settings);
  EXPECT_EQ(startedWith({0, 1, 2}), "null-r null-w null-w null-w " + settings);
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
