// Linked into the recognizer program alone, never into the library for
// embedding: it replaces a function of Tesseract's for the whole process.
//
// Every engine load reads Tesseract's built-in table of ambiguous character
// sequences into a sorted list, one insertion at a time: about a third of
// an engine's load, and a tenth of a small page's whole run. The table
// serves the legacy classifier and its dictionary alone; the LSTM engine,
// the only one this program starts, never consults it. Tesseract calls the
// loader through its procedure linkage table, so this definition, in the
// executable, is the one it reaches.

namespace tesseract {

class UNICHARSET;

class UnicharAmbigs {
 public:
  void LoadUniversal(const UNICHARSET& encoderSet, UNICHARSET* unicharset);
};

__attribute__((visibility("default"))) void UnicharAmbigs::LoadUniversal(const UNICHARSET&, UNICHARSET*) {}

}  // namespace tesseract
