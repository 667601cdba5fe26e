#pragma once

// Recognition of one image file, for programs that embed tarnwick instead of
// running the tarnwick command: the same run, the same record, the same line.

#include <string>
#include <variant>
#include <vector>

#define TARNWICK_API __attribute__((visibility("default")))

namespace tarnwick {

// The result record: the recognized lines top to bottom, the text they make
// joined by line feeds, the provider ("vision_mac") and the notes (the two
// fixed notes, then any warnings; see tarnwick(1)).
struct OcrResult {
  std::string text;
  std::vector<std::string> lines;
  std::string provider;
  std::vector<std::string> confidence_notes;
};

// A failed run: the message the error record carries as its only note, such
// as "load failed: not readable: /tmp/missing.png".
struct RecognitionError {
  std::string message;
};

// What one image yields.
using Outcome = std::variant<OcrResult, RecognitionError>;

// Reads the image at `path` and recognizes its text, exactly as
// `tarnwick <path>` does. Never throws for a bad file or a failed
// recognition: those come back as a RecognitionError.
//
// The first call initialises libvips, Tesseract's English model and the
// OpenMP runtime for the whole process: GLib and Leptonica log messages are
// dropped, libvips loaders not meant for untrusted input are blocked, the
// libvips operation cache is turned off and OpenMP regions run as a team of
// one. Standard error and signal handling are left alone. Calls from several
// threads are served one at a time; run several processes to use several
// cores.
TARNWICK_API Outcome recognizeImageFile(const std::string& path);

// The line `tarnwick` prints for the outcome, its line feed included: compact
// JSON with sorted keys, or the fixed fallback line when a string in the
// record is not valid UTF-8.
TARNWICK_API std::string reportLine(const Outcome& outcome);

}  // namespace tarnwick
