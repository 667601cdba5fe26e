// Recognizes each image named on the command line through libtarnwick:
// prints the line `tarnwick <image>` would print, and a summary on standard
// error, which the library leaves to its host.
#include <tarnwick/tarnwick.h>

#include <iostream>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: tarnwick-consumer <image-path>...\n";
    return 2;
  }
  for (int i = 1; i < argc; ++i) {
    const tarnwick::Outcome outcome = tarnwick::recognizeImageFile(argv[i]);
    std::cout << tarnwick::reportLine(outcome);
    if (const auto* result = std::get_if<tarnwick::OcrResult>(&outcome)) {
      std::cerr << argv[i] << ": " << result->lines.size() << " line(s)\n";
    } else {
      std::cerr << argv[i] << ": " << std::get<tarnwick::RecognitionError>(outcome).message << '\n';
    }
  }
  return 0;
}
