#pragma once

namespace tarnwick {

// What the imaging library needs of the process, done once however often it
// is called and from whichever thread: drop GLib's log messages, initialise
// libvips, block decoders that are not fit for untrusted files and turn off
// its cache.
void initialiseVips(const char* programName);

// Loads libvips' HEIF and AVIF decoder, once. The command starts without it:
// its codec libraries take longer to load than most runs spend decoding.
void loadHeifDecoder();

}  // namespace tarnwick
