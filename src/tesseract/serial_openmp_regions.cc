// Linked into the recognizer program alone, never into the library for
// embedding: it replaces functions of libgomp's for the whole process.
//
// This program runs every OpenMP region on its calling thread alone
// (limitOpenMPToCallingThread), and its engines read on threads of their
// own. libgomp still makes and unmakes a team of one for every region, and
// Tesseract's LSTM opens a region for each time step of each line: about a
// tenth of a document's run went to that bookkeeping. Here a region runs
// its body directly, as its team of one would. Tesseract and the libraries
// beside it call these through their procedure linkage tables, so the
// definitions in the executable are the ones they reach.
//
// Sections begun by libgomp itself (a sections construct inside a parallel
// region) are left to libgomp. One begun that way inside a section of a
// region run here would be handed this region's sections: no library the
// program loads nests sections so.

#include <dlfcn.h>

namespace {

// The sections of a region run here, handed out in order on this thread.
struct SectionsRegion {
  unsigned left = 0;
  unsigned next = 1;
  SectionsRegion* outer = nullptr;
};

thread_local SectionsRegion* currentSections = nullptr;

// libgomp's own function, for sections this file did not start.
template <typename Function>
Function* libgompFunction(const char* name) {
  return reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void GOMP_parallel(void (*body)(void*), void* data, unsigned, unsigned) {
  body(data);
}

__attribute__((visibility("default"))) void GOMP_parallel_sections(void (*body)(void*), void* data, unsigned,
                                                                   unsigned count, unsigned) {
  SectionsRegion region{.left = count, .next = 1, .outer = currentSections};
  currentSections = &region;
  body(data);
  currentSections = region.outer;
}

// The next section to run, 0 when none is left.
__attribute__((visibility("default"))) unsigned GOMP_sections_next() {
  if (currentSections == nullptr) {
    static auto* const own = libgompFunction<unsigned()>("GOMP_sections_next");
    return own();
  }
  if (currentSections->left == 0) return 0;
  --currentSections->left;
  return currentSections->next++;
}

__attribute__((visibility("default"))) void GOMP_sections_end_nowait() {
  if (currentSections != nullptr) return;
  static auto* const own = libgompFunction<void()>("GOMP_sections_end_nowait");
  own();
}

}  // extern "C"
