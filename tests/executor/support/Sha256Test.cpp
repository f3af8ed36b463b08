#include "executor/support/Sha256.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

TEST(Sha256Test, KnownDigests) {
  EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256Hex(std::string("a\0b", 3)), "59b271ae1bbcb1d31d41929817f4b16fb439eb4f31520b5ad1d5ce98920a7138");
}

}  // namespace
}  // namespace corvane
