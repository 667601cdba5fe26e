#include "isolation/decoder_child.h"

#include <fcntl.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <new>

#include "isolation/decoded_pixels.h"
#include "isolation/decoder_limits.h"
#include "platform/pixel_buffer.h"

namespace tarnwick {
namespace {

// Lowers a limit to the value, or keeps a lower one the caller set.
bool limit(int resource, rlim_t value) {
  rlimit bound{};
  if (getrlimit(resource, &bound) != 0) return false;
  bound.rlim_max = std::min(bound.rlim_max, value);
  bound.rlim_cur = std::min(bound.rlim_cur, bound.rlim_max);
  return setrlimit(resource, &bound) == 0;
}

bool limitSelf() {
  // A write past the file size limit fails with EFBIG instead of killing.
  std::signal(SIGXFSZ, SIG_IGN);
  // A parent gone before the request took hold would never send it.
  const pid_t parent = getppid();
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) return false;
  bool limited = limit(RLIMIT_CPU, kDecoderSeconds) && limit(RLIMIT_FSIZE, 0) && limit(RLIMIT_CORE, 0) &&
                 limit(RLIMIT_NOFILE, kDecoderOpenFiles);
#if !defined(TARNWICK_SANITIZED)
  // The sanitizers reserve terabytes of address space for their shadow.
  limited = limited && limit(RLIMIT_AS, kDecoderAddressSpaceBytes);
#endif
  return limited;
}

// What a decoder never needs and a hijacked one would want: starting
// programs or processes, the network, changing any file or directory, and
// touching other processes. Such calls fail with EPERM (ENOSYS for those
// whose arguments cannot be inspected, so callers fall back to the older
// calls checked here); everything else is allowed.
// A condition on a call's argument, spelled out: libseccomp's SCMP_A*
// macros are C compound literals.
scmp_arg_cmp argument(unsigned index, scmp_compare comparison, scmp_datum_t a, scmp_datum_t b = 0) {
  return scmp_arg_cmp{index, comparison, a, b};
}

bool forbidSideEffects() {
  const std::unique_ptr<void, void (*)(scmp_filter_ctx)> filter(seccomp_init(SCMP_ACT_ALLOW), seccomp_release);
  if (!filter) return false;
  bool added = true;
  const auto forbid = [&](int call, auto... conditions) {
    added = added && seccomp_rule_add(filter.get(), SCMP_ACT_ERRNO(EPERM), call, sizeof...(conditions), conditions...) == 0;
  };
  for (const int call : {SCMP_SYS(execve), SCMP_SYS(execveat), SCMP_SYS(fork), SCMP_SYS(vfork), SCMP_SYS(socket),
                         SCMP_SYS(socketpair), SCMP_SYS(connect), SCMP_SYS(bind), SCMP_SYS(creat),
                         SCMP_SYS(unlink), SCMP_SYS(unlinkat), SCMP_SYS(rename), SCMP_SYS(renameat),
                         SCMP_SYS(renameat2), SCMP_SYS(mkdir), SCMP_SYS(mkdirat), SCMP_SYS(rmdir), SCMP_SYS(link),
                         SCMP_SYS(linkat), SCMP_SYS(symlink), SCMP_SYS(symlinkat), SCMP_SYS(chmod),
                         SCMP_SYS(fchmodat), SCMP_SYS(chown), SCMP_SYS(lchown), SCMP_SYS(fchownat),
                         SCMP_SYS(truncate), SCMP_SYS(mknod), SCMP_SYS(mknodat), SCMP_SYS(utimes),
                         SCMP_SYS(utimensat), SCMP_SYS(ptrace), SCMP_SYS(process_vm_readv),
                         SCMP_SYS(process_vm_writev), SCMP_SYS(mount), SCMP_SYS(umount2), SCMP_SYS(chroot),
                         SCMP_SYS(pivot_root), SCMP_SYS(unshare), SCMP_SYS(setns), SCMP_SYS(bpf),
                         SCMP_SYS(perf_event_open), SCMP_SYS(keyctl), SCMP_SYS(add_key), SCMP_SYS(io_uring_setup),
                         SCMP_SYS(init_module), SCMP_SYS(finit_module), SCMP_SYS(kexec_load), SCMP_SYS(reboot)})
    forbid(call);
  // Threads may be started, processes not.
  forbid(SCMP_SYS(clone), argument(0, SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0));
  // Files may be opened to read only.
  for (const unsigned flag : {unsigned(O_WRONLY), unsigned(O_RDWR), unsigned(O_CREAT), unsigned(O_TRUNC)}) {
    forbid(SCMP_SYS(open), argument(1, SCMP_CMP_MASKED_EQ, flag, flag));
    forbid(SCMP_SYS(openat), argument(2, SCMP_CMP_MASKED_EQ, flag, flag));
  }
  // Signals go to this process only.
  forbid(SCMP_SYS(kill), argument(0, SCMP_CMP_NE, scmp_datum_t(getpid())));
  forbid(SCMP_SYS(tgkill), argument(0, SCMP_CMP_NE, scmp_datum_t(getpid())));
  for (const int call : {SCMP_SYS(clone3), SCMP_SYS(openat2)})
    added = added && seccomp_rule_add(filter.get(), SCMP_ACT_ERRNO(ENOSYS), call, 0) == 0;
  return added && seccomp_load(filter.get()) == 0;
}

std::optional<std::vector<std::uint8_t>> readStandardInput() {
  struct stat status {};
  if (fstat(STDIN_FILENO, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size > kMaxDecoderInputBytes)
    return std::nullopt;
  std::vector<std::uint8_t> file;
  try {
    file.resize(static_cast<std::size_t>(status.st_size));
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  std::size_t filled = 0;
  while (filled < file.size()) {
    const ssize_t got = pread(STDIN_FILENO, file.data() + filled, file.size() - filled, off_t(filled));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    filled += static_cast<std::size_t>(got);
  }
  file.resize(filled);
  return file;
}

bool writeAll(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    const ssize_t put = write(STDOUT_FILENO, bytes, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    bytes += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

bool handBack(const DecodedPixels& pixels) {
  if (pixels.width == 0 || pixels.height == 0 || pixels.bands < 1 || pixels.bands > 4 ||
      !fitsPixelLimit(pixels.width, pixels.height) ||
      pixels.samples.size() != std::size_t{pixels.width} * pixels.height * pixels.bands)
    return false;
  const DecodedPixelsHeader header{kDecodedPixelsMagic, pixels.width, pixels.height, pixels.bands};
  return writeAll(&header, sizeof header) && writeAll(pixels.samples.data(), pixels.samples.size());
}

}  // namespace

bool fitsPixelLimit(std::int64_t width, std::int64_t height) {
  return width > 0 && height > 0 && !exceedsPixelBufferLimit(width, height);
}

void runDecoderChild(int argc, char** argv, const DecodeFile& decode) {
  if (argc != 2 || !limitSelf() || !forbidSideEffects()) _exit(1);
  bool written = false;
  try {
    const std::optional<std::vector<std::uint8_t>> file = readStandardInput();
    if (file) {
      const std::optional<DecodedPixels> pixels = decode(*file, argv[1]);
      written = pixels && handBack(*pixels);
    }
  } catch (...) {
    written = false;
  }
  _exit(written ? 0 : 1);
}

}  // namespace tarnwick
