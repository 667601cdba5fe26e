// The decoder children's limits and the parent's distrust of what they hand
// back, seen through a child that misbehaves on purpose.
#include <fcntl.h>
#include <unistd.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <vips/vips.h>

#include "isolation/isolated_decoding.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

class Isolation : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { VIPS_INIT("isolation_test"); }

  std::optional<Image> decodedAs(const std::string& act) {
    const int file = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(file, 0);
    std::optional<Image> image = decodeInChild({"tarnwick-decode-probe", act.c_str()}, file);
    close(file);
    return image;
  }

  std::vector<std::uint8_t> samples(const Image& image) {
    std::size_t size = 0;
    void* memory = vips_image_write_to_memory(image.vips(), &size);
    std::vector<std::uint8_t> bytes(static_cast<std::uint8_t*>(memory), static_cast<std::uint8_t*>(memory) + size);
    g_free(memory);
    return bytes;
  }

  testing::TempDir dir_;
  std::string path_ = dir_.file("input");
};

TEST_F(Isolation, AChildMayNeitherWriteNorStartNorSignalNorGrow) {
  std::ofstream(path_) << "any bytes";
  std::ofstream(dir_.file("keep")) << "kept";
  const std::optional<Image> image = decodedAs("escape:" + dir_.path().string());
  ASSERT_TRUE(image);
  // Bits: wrote a file, opened a socket, forked, signalled its parent,
  // removed a file, took 3 GiB of address space.
  EXPECT_EQ(samples(*image), std::vector<std::uint8_t>{0});
  EXPECT_FALSE(std::filesystem::exists(dir_.file("written")));
  EXPECT_TRUE(std::filesystem::exists(dir_.file("keep")));
}

TEST_F(Isolation, OnlyOneWholeImageWithinTheLimitIsTakenBack) {
  std::ofstream(path_) << "any bytes";
  ASSERT_TRUE(decodedAs("pixels"));
  EXPECT_EQ(samples(*decodedAs("pixels")), (std::vector<std::uint8_t>{0, 255}));
  for (const char* act : {"crash", "lie", "trail"}) EXPECT_FALSE(decodedAs(act)) << act;
}

TEST_F(Isolation, AChildReadsOnlyRegularFiles) {
  ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
  const int fifo = open(path_.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fifo, 0);
  EXPECT_FALSE(decodeInChild({"tarnwick-decode-probe", "pixels"}, fifo));
  close(fifo);
}

}  // namespace
}  // namespace tarnwick
