// Unit tests of the retrieval utilities.
#include "utils.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace vantrel {
namespace {

std::string hash_of(std::string_view text) {
  auto h = content_hash(text);
  return {h.data(), h.size()};
}

TEST(ContentHash, KnownDigests) {
  struct Case {
    std::string text;
    const char* expected;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c14"},
      {"abc", "ba7816bf8f01cfea"},
      {"\xc3\xa9", "4a99557e4033c353"},  // é as UTF-8
      // FIPS 180-4 two-block example: padding spills into a second block.
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "248d6a61d20638b8"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb92"},
  };
  for (const Case& c : cases) EXPECT_EQ(hash_of(c.text), c.expected) << c.text.size();
}

TEST(ContentHash, BytesAreTakenAsTheyAre) {
  EXPECT_NE(hash_of("a\r\nb"), hash_of("a\nb"));
  EXPECT_NE(hash_of(std::string_view("a\0b", 3)), hash_of("a"));
}

TEST(ContentHash, ThreadsHashIndependently) {
  std::vector<std::thread> threads;
  std::vector<std::string> results(8);
  for (std::size_t t = 0; t < results.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) results[t] = hash_of("abc");
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& r : results) EXPECT_EQ(r, "ba7816bf8f01cfea");
}

}  // namespace
}  // namespace vantrel
