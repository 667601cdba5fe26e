#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tarnwick/tarnwick.h"

namespace tarnwick {

inline constexpr const char* kUsageMessage = "usage: tarnwick <image-path>";

// How long a run may take before it gives up with a "vision failed" record.
// A 32-megapixel page of dense text takes about a minute and a half on one
// core, so this leaves room for pages at the pixel limit on slower machines.
inline constexpr std::chrono::seconds kRunDeadline{600};

// The run on one image: make the platform, read the image, recognize its
// text, and turn any failure into the error record's message. What the
// command prints and what embedding programs get.
Outcome recognizeImageAt(const std::string& path, const std::function<Platform&()>& platform);

// One run: the arguments (program name first) in, one report line on `out`,
// the usage line on `err` when the path is missing. Returns the exit status.
// The platform is asked for only once there is an image to read: making it
// starts loading the recognizer's model.
int runTarnwick(const std::vector<std::string>& arguments, const std::function<Platform&()>& platform,
                std::FILE* out, std::FILE* err);

}  // namespace tarnwick
