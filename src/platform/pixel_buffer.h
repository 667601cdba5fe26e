#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tarnwick {

inline constexpr std::uint32_t kPixelFormat32BGRA = 0x42475241;  // 'BGRA'

// Creation statuses, as signed 32-bit values.
inline constexpr std::int32_t kPixelBufferSuccess = 0;
inline constexpr std::int32_t kPixelBufferInvalidArgument = -6661;
inline constexpr std::int32_t kPixelBufferAllocationFailed = -6662;

// The largest buffer we allocate: 64 megapixels (256 MiB of BGRA) is far
// beyond any page or photo worth reading, and keeps a decompression bomb from
// reaching the allocator.
inline constexpr std::int64_t kMaxPixelBufferPixels = std::int64_t{64} * 1000 * 1000;

// Decoders refuse, from the header, images no buffer could take.
inline bool exceedsPixelBufferLimit(std::int64_t width, std::int64_t height) {
  return width * height > kMaxPixelBufferPixels;
}

enum class LockFlags { readWrite, readOnly };

// 32-bit BGRA pixels, premultiplied alpha, in memory the buffer owns, rows
// aligned to 64 bytes. The base address may only be used while locked; the
// discipline is checked in debug builds.
class PixelBuffer {
 public:
  struct Free {
    void operator()(std::uint8_t* memory) const;
  };
  using Memory = std::unique_ptr<std::uint8_t[], Free>;

  // Made by createPixelBuffer, which allocates the memory.
  PixelBuffer(int width, int height, std::size_t bytesPerRow, Memory memory);
  PixelBuffer(const PixelBuffer&) = delete;
  PixelBuffer& operator=(const PixelBuffer&) = delete;
  ~PixelBuffer();

  int width() const { return width_; }
  int height() const { return height_; }
  std::uint32_t pixelFormat() const { return kPixelFormat32BGRA; }
  std::size_t bytesPerRow() const { return bytesPerRow_; }

  // Locking only counts: the memory never moves. Readers of a const buffer
  // lock it too, so the count is mutable.
  void lockBaseAddress(LockFlags flags) const;
  void unlockBaseAddress(LockFlags flags) const;
  bool isLocked() const { return lockCount_ > 0; }

  std::uint8_t* baseAddress();
  const std::uint8_t* baseAddress() const;

 private:
  int width_;
  int height_;
  std::size_t bytesPerRow_;
  Memory memory_;
  mutable int lockCount_ = 0;
  mutable bool lockedReadOnly_ = false;
};

// Holds a buffer's base-address lock for a scope.
class BaseAddressLock {
 public:
  BaseAddressLock(const PixelBuffer& buffer, LockFlags flags) : buffer_(buffer), flags_(flags) {
    buffer_.lockBaseAddress(flags_);
  }
  ~BaseAddressLock() { buffer_.unlockBaseAddress(flags_); }
  BaseAddressLock(const BaseAddressLock&) = delete;
  BaseAddressLock& operator=(const BaseAddressLock&) = delete;

 private:
  const PixelBuffer& buffer_;
  LockFlags flags_;
};

struct PixelBufferCreation {
  std::int32_t status = kPixelBufferSuccess;
  std::unique_ptr<PixelBuffer> buffer;
};

// Allocates a buffer of the given size; only the BGRA format is supported.
// Sizes below 1 are an invalid argument; sizes beyond kMaxPixelBufferPixels,
// or memory that cannot be had, are an allocation failure.
PixelBufferCreation createPixelBuffer(std::int64_t width, std::int64_t height, std::uint32_t pixelFormat);

}  // namespace tarnwick
