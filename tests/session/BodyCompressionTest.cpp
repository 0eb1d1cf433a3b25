#include "session/BodyCompression.h"

#include <gtest/gtest.h>

#include <random>

TEST(BodyCompression, ShrinksWhatShrinksAndKeepsTheRestAsItCame)
{
    std::mt19937 random(7);
    std::string noise(200000, '\0'), text;
    for (char& c : noise)
        c = static_cast<char>(random());
    while (text.size() < 3000) // JSON in two scripts: more byte values than plain English
        text += "{\"id\":" + std::to_string(random()) + ",\"name\":\"Съешь ещё\",\"ok\":true},";
    const std::pair<std::string, bool> cases[] = {
        {noise.substr(0, 1024), false}, {noise, false}, {text, true},
        {std::string(200, 'a') + noise, false}, {std::string(40, 'a'), false}};
    for (const auto& [body, shrinks] : cases) { // shrinks: packed, and unpacked as it was
        std::string packed, unpacked;
        EXPECT_EQ(BodyCompression::Compress(body, packed)
                      && BodyCompression::Decompress(packed, body.size(), unpacked)
                      && unpacked == body,
                  shrinks) << body.size();
    }
}
