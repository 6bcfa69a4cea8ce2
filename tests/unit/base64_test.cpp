#include "text/base64.hpp"

#include <gtest/gtest.h>

#include <string>

using vft::text::base64_decode;
using vft::text::base64_encode;

TEST(Base64, EncodesAndDecodesTheRfcVectors) {
  const std::pair<std::string, std::string> vectors[] = {{"", ""},
                                                         {"f", "Zg=="},
                                                         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},
                                                         {"foob", "Zm9vYg=="},
                                                         {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"}};
  for (const auto &[bytes, text] : vectors) {
    EXPECT_EQ(base64_encode(bytes), text);
    const auto decoded = base64_decode(text);
    ASSERT_TRUE(decoded) << text << ": " << decoded.error();
    EXPECT_EQ(*decoded, bytes);
  }
  std::string every_byte;
  for (int i = 0; i < 256; ++i)
    every_byte += static_cast<char>(i);
  EXPECT_EQ(base64_encode(every_byte).substr(0, 8), "AAECAwQF");
  EXPECT_EQ(base64_encode("\xfb\xff"), "+/8=");
  EXPECT_EQ(*base64_decode(base64_encode(every_byte)), every_byte);
}

TEST(Base64, RefusesWhatIsNotStrictBase64) {
  const std::pair<std::string, std::string> refused[] = {
      {"Zm9", "Invalid base64: invalid length (not a multiple of 4)"},
      {"Zm9vY", "Invalid base64: invalid length (not a multiple of 4)"},
      {"Zm-v", "Invalid base64: invalid symbol at offset 2"},
      {"Zm9v\nZm9v", "Invalid base64: invalid length (not a multiple of 4)"},
      {"Zm 9", "Invalid base64: invalid symbol at offset 2"},
      {"Z===", "Invalid base64: invalid padding"},
      {"====", "Invalid base64: invalid padding"},
      {"Zg=a", "Invalid base64: invalid padding"},
      {"Zg==Zm9v", "Invalid base64: invalid padding"},
      // Bits beyond the last byte must be zero: "Zh==" would also read as "f".
      {"Zh==", "Invalid base64: invalid symbol at offset 1"},
      {"Zm9=", "Invalid base64: invalid symbol at offset 2"},
  };
  for (const auto &[text, message] : refused) {
    const auto decoded = base64_decode(text);
    ASSERT_FALSE(decoded) << text;
    EXPECT_EQ(decoded.error(), message) << text;
  }
}
