#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tarnwick/tarnwick.h"

namespace tarnwick {

inline constexpr const char* kUsageMessage = "usage: tarnwick <image-path>";

// The run on one image: read it, recognize its text, and turn any failure
// into the error record's message. What the command prints and what
// embedding programs get.
Outcome recognizeImageAt(const std::string& path, Platform& platform);

// One run: the arguments (program name first) in, one report line on `out`,
// the usage line on `err` when the path is missing. Returns the exit status.
int runTarnwick(const std::vector<std::string>& arguments, Platform& platform, std::FILE* out, std::FILE* err);

}  // namespace tarnwick
