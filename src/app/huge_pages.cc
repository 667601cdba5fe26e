#include "app/huge_pages.h"

#include <fcntl.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <string_view>
#include <utility>

namespace tarnwick {
namespace {

constexpr const char* kTunables = "GLIBC_TUNABLES";
constexpr const char* kHugePageTunable = "glibc.malloc.hugetlb";
// Grown by glibc's default 128 KB at a time, a heap is seldom covered by
// whole huge pages: heaps grow 64 MB at a time instead. Unused, the growth
// costs address space, not memory.
constexpr const char* kHeapGrowthTunable = "glibc.malloc.top_pad";
constexpr const char* kHeapGrowth = "67108864";

// True when the kernel backs with huge pages only the memory a process
// asks it to, the setting the tunables are for.
bool hugePagesOnRequest() {
  const int settings = open("/sys/kernel/mm/transparent_hugepage/enabled", O_RDONLY | O_CLOEXEC);
  if (settings < 0) return false;
  std::array<char, 128> text{};
  const ssize_t length = read(settings, text.data(), text.size() - 1);
  close(settings);
  return length > 0 && std::strstr(text.data(), "[madvise]") != nullptr;
}

}  // namespace

std::optional<std::vector<std::string>> hugePageEnvironment(char** environment) {
  const std::string prefix = std::string(kTunables) + "=";
  std::vector<std::string> variables;
  std::string tunables;
  for (char** variable = environment; *variable != nullptr; ++variable) {
    const std::string_view entry(*variable);
    if (entry.starts_with(prefix))
      tunables = entry.substr(prefix.size());
    else
      variables.emplace_back(entry);
  }
  if (tunables.find(kHugePageTunable) != std::string::npos) return std::nullopt;
  const auto add = [&](const std::string& tunable) { tunables += (tunables.empty() ? "" : ":") + tunable; };
  add(std::string(kHugePageTunable) + "=1");
  if (tunables.find(kHeapGrowthTunable) == std::string::npos) add(std::string(kHeapGrowthTunable) + "=" + kHeapGrowth);
  variables.push_back(prefix + tunables);
  return variables;
}

std::optional<std::vector<std::string>> recognizerEnvironment(char** environment) {
  // The environment first: a caller who chose costs no read of the kernel's
  // setting.
  if (getauxval(AT_SECURE) != 0) return std::nullopt;
  std::optional<std::vector<std::string>> asked = hugePageEnvironment(environment);
  return asked && hugePagesOnRequest() ? std::move(asked) : std::nullopt;
}

}  // namespace tarnwick
