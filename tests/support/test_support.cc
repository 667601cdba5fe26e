#include "support/test_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vips/vips.h>

#include <array>
#include <fstream>

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

VipsImagePtr derived(const std::function<int(VipsImage**)>& operation) {
  VipsImage* out = nullptr;
  EXPECT_EQ(operation(&out), 0) << vips_error_buffer();
  vips_error_clear();
  return VipsImagePtr(out);
}

VipsImagePtr renderTextImage(const std::string& text, int pointSize, const std::string& font) {
  VIPS_INIT("tarnwick_tests");
  // vips_text gives ink coverage; paper is white, so invert and pad.
  const std::string spec = font + " " + std::to_string(pointSize);
  const VipsImagePtr ink =
      derived([&](VipsImage** out) { return vips_text(out, text.c_str(), "font", spec.c_str(), "dpi", 72, nullptr); });
  const VipsImagePtr paper = derived([&](VipsImage** out) { return vips_invert(ink.get(), out, nullptr); });
  const VipsImagePtr padded = derived([&](VipsImage** out) {
    return vips_embed(paper.get(), out, pointSize, pointSize, paper->Xsize + 2 * pointSize,
                      paper->Ysize + 2 * pointSize, "extend", VIPS_EXTEND_WHITE, nullptr);
  });
  return derived(
      [&](VipsImage** out) { return vips_colourspace(padded.get(), out, VIPS_INTERPRETATION_sRGB, nullptr); });
}

VipsImage* hello() {
  static const VipsImagePtr image = renderTextImage("Hello world", 40);
  return image.get();
}

const std::string kHelloWorldLine =
    R"({"confidence_notes":["provider vision_mac","recognition_languages en-US","weak_ocr: very short recognition"],)"
    R"("lines":["Hello world"],"provider":"vision_mac","text":"Hello world"})"
    "\n";

bool saved(VipsImage* image, const std::string& pathWithOptions) {
  const bool ok = image != nullptr && vips_image_write_to_file(image, pathWithOptions.c_str(), nullptr) == 0;
  vips_error_clear();
  return ok;
}

namespace {

// The encoder's input: hello() as a PNG beside the output.
std::string encoderSource(const std::string& path) {
  const std::string source = path + ".source.png";
  EXPECT_TRUE(saved(hello(), source)) << source;
  return source;
}

bool ranCleanly(const std::string& program, const std::vector<std::string>& arguments) {
  const ToolRun run = runTool(arguments, {.tool = program});
  EXPECT_EQ(run.exitStatus, 0) << program << ": " << run.err;
  return run.exitStatus == 0;
}

}  // namespace

bool converted(const std::string& path, const std::vector<std::string>& arguments, const std::string& prefix) {
  std::vector<std::string> command{encoderSource(path)};
  command.insert(command.end(), arguments.begin(), arguments.end());
  command.push_back(prefix + path);
  return ranCleanly("/usr/bin/convert", command);
}

bool pillowSaved(const std::string& path, const std::string& options) {
  const std::string script = "import sys\nfrom PIL import Image\nImage.open(sys.argv[1]).convert('RGB').save(sys.argv[2]" +
                             (options.empty() ? "" : ", " + options) + ")\n";
  return ranCleanly("/usr/bin/python3", {"-c", script, encoderSource(path), path});
}

std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void writeBytes(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

ToolRun runTool(const std::vector<std::string>& arguments, const Launch& launch) {
  std::vector<std::string> argv{launch.tool};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char*> pointers;
  for (auto& argument : argv) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
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
  const int spawned = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, pointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (out[1] >= 0) close(out[1]);
  rusage usage{};
  if (spawned != 0 || wait4(pid, &status, 0, &usage) != pid) ADD_FAILURE() << "could not run " << argv[0];
  ToolRun run;
  run.peakRssKiB = usage.ru_maxrss;
  if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.terminatingSignal = WTERMSIG(status);
  std::array<char, 1 << 16> chunk{};
  for (ssize_t got = 0; out[0] >= 0 && (got = recv(out[0], chunk.data(), chunk.size(), MSG_DONTWAIT)) > 0; ++run.writes)
    run.out.append(chunk.data(), std::size_t(got));
  for (ssize_t got = 0; (got = pread(err, chunk.data(), chunk.size(), off_t(run.err.size()))) > 0;)
    run.err.append(chunk.data(), std::size_t(got));
  if (out[0] >= 0) close(out[0]);
  close(err);
  return run;
}

nlohmann::json parseReportLine(const std::string& out) {
  // One write to a file opened for appending, so lines from tests running
  // side by side never interleave.
  const int log = open(TARNWICK_REPORT_LOG, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  const std::string logged = out.ends_with('\n') ? out : out + '\n';
  EXPECT_EQ(write(log, logged.data(), logged.size()), ssize_t(logged.size())) << TARNWICK_REPORT_LOG;
  close(log);
  EXPECT_TRUE(!out.empty() && out.find('\n') == out.size() - 1) << "not exactly one line: " << out;
  const nlohmann::json json = nlohmann::json::parse(out, nullptr, false);
  EXPECT_FALSE(json.is_discarded()) << "not JSON: " << out;
  return json;
}

std::string errorLineFor(const std::string& message) {
  // A real JSON library escapes the message; the tool also escapes "/",
  // which JSON allows either way.
  std::string escaped;
  for (const char c : nlohmann::json(message).dump()) escaped += c == '/' ? std::string("\\/") : std::string(1, c);
  return R"({"confidence_notes":[)" + escaped +
         R"(],"lines":[],"provider":"unavailable","text":""})"
         "\n";
}

}  // namespace tarnwick::testing
