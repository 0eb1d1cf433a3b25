#include "session/BodyCompression.h"

#include <gtest/gtest.h>

#include <random>

TEST(BodyCompression, ShrinksWhatShrinksAndKeepsTheRestAsItCame)
{
    std::mt19937 random(7);
    std::string noise(200000, '\0'), base64(4096, '\0'), text;
    for (char& c : noise)
        c = static_cast<char>(random());
    for (char& c : base64)
        c = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"[random() % 64];
    while (text.size() < 3000)
        text += "{\"id\":" + std::to_string(text.size() * 7919) + ",\"name\":\"Съешь ещё\"},";
    const std::pair<std::string, bool> cases[] = {
        {noise.substr(0, 1024), false}, {noise, false}, {text, true}, {base64, true},
        {std::string(200, 'a') + noise, false}, {std::string(40, 'a'), false}};
    for (const auto& [body, shrinks] : cases) {
        std::string packed, unpacked;
        ASSERT_EQ(BodyCompression::Compress(body, packed), shrinks) << body.size();
        EXPECT_TRUE(!shrinks || (packed.size() < body.size()
                                 && BodyCompression::Decompress(packed, body.size(), unpacked)
                                 && unpacked == body));
    }
}
