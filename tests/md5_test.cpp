// MD5 against the test suite of RFC 1321 (appendix A.5), and the padding
// boundaries around one 64-byte block.

#include <gtest/gtest.h>

#include <string>

#include "telemetry/md5.h"

TEST(Md5, MatchesTheRfcTestSuiteAndBlockBoundaries) {
  const struct {
    std::string input;
    const char* digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
       "0",
       "57edf4a22be3c955ac49da2e2107b67a"},
      // The length field fits after 55 bytes, not after 56; 64 and 119 fill
      // whole blocks before the padding.
      {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
      {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
      {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
      {std::string(119, 'a'), "8a7bd0732ed6a28ce75f6dabc90e1613"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(Md5Hex(ComputeMd5(c.input)), c.digest);
    EXPECT_EQ(Md5Hex(ComputeMd5(c.input.data(), c.input.size())), c.digest);
  }
  // The text form stops at the first NUL.
  EXPECT_EQ(Md5Hex(ComputeMd5(std::string("abc\0def", 7))), "900150983cd24fb0d6963f7d28e17f72");
}
