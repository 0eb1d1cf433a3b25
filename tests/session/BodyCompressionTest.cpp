#include "session/BodyCompression.h"

#include <gtest/gtest.h>

#include <random>

namespace {
std::string RandomBytes(std::size_t n, std::string_view alphabet = {})
{
    std::mt19937 random(7);
    std::string bytes(n, '\0');
    for (char& c : bytes) {
        const auto r = random();
        c = alphabet.empty() ? static_cast<char>(r) : alphabet[r % alphabet.size()];
    }
    return bytes;
}
} // namespace

TEST(BodyCompression, ShrinksWhatShrinksAndKeepsTheRestAsItCame)
{
    std::string text, cyrillic;
    for (int i = 0; text.size() < 1500; ++i)
        text += "{\"id\":" + std::to_string(i * 7919) + ",\"name\":\"item\",\"ok\":true},";
    for (int i = 0; cyrillic.size() < 3000; ++i)
        cyrillic += "Съешь же ещё этих мягких французских булок, да выпей чаю. ";
    const struct {
        const char* what;
        std::string body;
        bool shrinks;
    } cases[] = {
        {"random, small", RandomBytes(1024), false},
        {"random, large", RandomBytes(200000), false},
        {"text", text, true},
        {"UTF-8 text", cyrillic, true},
        {"base64", RandomBytes(4096, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"), true},
        {"plain start, random rest", std::string(200, 'a') + RandomBytes(100000), false},
        {"too short", "aaaaaaaaaaaaaaaaaaaaaaaa", false},
    };
    for (const auto& c : cases) {
        std::string packed, unpacked;
        ASSERT_EQ(BodyCompression::Compress(c.body, packed), c.shrinks) << c.what;
        if (!c.shrinks)
            continue;
        EXPECT_LT(packed.size(), c.body.size()) << c.what;
        ASSERT_TRUE(BodyCompression::Decompress(packed, c.body.size(), unpacked)) << c.what;
        EXPECT_EQ(unpacked, c.body) << c.what;
    }
}
