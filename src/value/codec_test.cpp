#include "value/codec.h"

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "value/regex.h"

namespace tolvan {
namespace {

TEST(Base64, StandardRoundTrip) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {std::string("\xff\xfe\x00", 3), "//4A"},
  };
  for (const auto& [raw, encoded] : cases) {
    EXPECT_EQ(base64_encode(raw), encoded);
    EXPECT_EQ(base64_decode(encoded), raw) << encoded;
  }
  EXPECT_EQ(base64_decode("Zg"), "f");  // padding is optional
  EXPECT_EQ(base64_decode("Zm8"), "fo");
  for (const char* bad :
       {"Zg=", "Z", "Zm9v Yg==", "Zm9v\n", "Z===", "====", "Zg==Zg==", "-_8=", "Zm9*"}) {
    EXPECT_EQ(base64_decode(bad), std::nullopt) << bad;
  }
}

TEST(Base64, UrlForm) {
  const std::string raw("\xfb\xff\xbf\x00", 4);
  EXPECT_EQ(base64url_encode(raw), "-_-_AA");
  EXPECT_EQ(base64url_decode("-_-_AA"), raw);
  EXPECT_EQ(base64url_encode("f"), "Zg");
  EXPECT_EQ(base64url_decode(""), "");
  for (const char* bad : {"Zg==", "Zg=", "+/8", "Z", "Zm9v!", "Zm 9v"}) {
    EXPECT_EQ(base64url_decode(bad), std::nullopt) << bad;
  }
}

TEST(PercentEncode, KeepsOnlyUnreserved) {
  EXPECT_EQ(percent_encode("AZaz09_.-~"), "AZaz09_.-~");
  EXPECT_EQ(percent_encode("a b/c?d=e&f+g%"), "a%20b%2Fc%3Fd%3De%26f%2Bg%25");
  EXPECT_EQ(percent_encode("\xc3\xa9\n"), "%C3%A9%0A");
  EXPECT_EQ(percent_encode(std::string("\0", 1)), "%00");
}

TEST(RandomUuid, Version4Form) {
  Regex form("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const std::string id = random_uuid();
    EXPECT_TRUE(form.full_match(id)) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

}  // namespace
}  // namespace tolvan
