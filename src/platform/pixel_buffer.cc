#include "platform/pixel_buffer.h"

#include <cassert>
#include <cstdlib>

namespace tarnwick {
namespace {

constexpr std::size_t kRowAlignment = 64;

}  // namespace

PixelBuffer::PixelBuffer(int width, int height, std::size_t bytesPerRow, Memory memory)
    : width_(width), height_(height), bytesPerRow_(bytesPerRow), memory_(std::move(memory)) {}

PixelBuffer::~PixelBuffer() { assert(lockCount_ == 0 && "pixel buffer released while locked"); }

void PixelBuffer::Free::operator()(std::uint8_t* memory) const { std::free(memory); }

void PixelBuffer::lockBaseAddress(LockFlags flags) const {
  assert((lockCount_ == 0 || lockedReadOnly_ == (flags == LockFlags::readOnly)) && "mixed lock flags");
  lockedReadOnly_ = flags == LockFlags::readOnly;
  ++lockCount_;
}

void PixelBuffer::unlockBaseAddress(LockFlags flags) const {
  assert(lockCount_ > 0 && "unlock without lock");
  assert(lockedReadOnly_ == (flags == LockFlags::readOnly) && "unlock flags differ from lock flags");
  (void)flags;
  --lockCount_;
}

std::uint8_t* PixelBuffer::baseAddress() {
  assert(lockCount_ > 0 && !lockedReadOnly_ && "writing an unlocked or read-only buffer");
  return memory_.get();
}

const std::uint8_t* PixelBuffer::baseAddress() const {
  assert(lockCount_ > 0 && "reading an unlocked buffer");
  return memory_.get();
}

PixelBufferCreation createPixelBuffer(std::int64_t width, std::int64_t height, std::uint32_t pixelFormat) {
  if (width < 1 || height < 1 || pixelFormat != kPixelFormat32BGRA) return {kPixelBufferInvalidArgument, nullptr};
  if (width > kMaxPixelBufferPixels / height) return {kPixelBufferAllocationFailed, nullptr};
  const auto rowBytes = static_cast<std::size_t>(width) * 4;
  const std::size_t bytesPerRow = (rowBytes + kRowAlignment - 1) / kRowAlignment * kRowAlignment;
  PixelBuffer::Memory memory(static_cast<std::uint8_t*>(std::aligned_alloc(kRowAlignment, bytesPerRow * height)));
  if (!memory) return {kPixelBufferAllocationFailed, nullptr};
  return {kPixelBufferSuccess, std::make_unique<PixelBuffer>(static_cast<int>(width), static_cast<int>(height),
                                                             bytesPerRow, std::move(memory))};
}

}  // namespace tarnwick
