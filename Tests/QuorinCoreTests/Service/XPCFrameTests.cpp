#include "QuorinCore/Service/XPCFrame.hpp"

#include "Service/XPCTesting.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorin {
namespace {

using namespace std::string_literals;
using testing::protocolError;

std::string prefix(std::uint32_t length) {
    return {static_cast<char>(length >> 24), static_cast<char>((length >> 16) & 0xff),
            static_cast<char>((length >> 8) & 0xff), static_cast<char>(length & 0xff)};
}

TEST(XPCFrameTest, FramesABodyBehindItsBigEndianLengthAndReadsItBack) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"a", "\0\0\0\x01"s},
        {std::string(0x0102, 'b'), "\0\0\x01\x02"s},
        {std::string(maximumFrameBytes, 'c'), "\0\x80\0\0"s},
    };
    for (const auto& [body, header] : cases) {
        EXPECT_TRUE(framed(body) == header + body) << body.size();
        XPCFrameReader reader;
        reader.append(framed(body));
        EXPECT_TRUE(reader.next() == body) << body.size();
        EXPECT_EQ(reader.next(), std::nullopt) << body.size();
    }
}

TEST(XPCFrameTest, RefusesToFrameAnEmptyOrOversizedBody) {
    EXPECT_EQ(protocolError([] { framed(""); }), "a frame body must not be empty");
    EXPECT_EQ(protocolError([] { framed(std::string(maximumFrameBytes + 1, 'x')); }),
              "a frame body of 8388609 bytes exceeds the maximum of 8388608");
}

TEST(XPCFrameTest, RefusesABadLengthAsSoonAsThePrefixIsComplete) {
    const std::vector<std::pair<std::uint32_t, std::string>> cases{
        {0, "a frame body must not be empty"},
        {maximumFrameBytes + 1, "a frame body of 8388609 bytes exceeds the maximum of 8388608"},
        {0xffffffff, "a frame body of 4294967295 bytes exceeds the maximum of 8388608"},
    };
    for (const auto& [length, message] : cases) {
        XPCFrameReader reader;
        const std::string header = prefix(length);
        reader.append(header.substr(0, 3));
        EXPECT_EQ(reader.next(), std::nullopt) << length;
        reader.append(header.substr(3));
        EXPECT_EQ(protocolError([&] { reader.next(); }), message) << length;
        // The stream is lost: the same error again rather than a misread body.
        reader.append("more");
        EXPECT_EQ(protocolError([&] { reader.next(); }), message) << length;
    }
}

// Frames of every byte value, NUL included, come out whole and in order however the stream is
// cut: a byte at a time, through prefixes and bodies, several frames and a part in one append,
// or all at once.
TEST(XPCFrameTest, ReadsFramesInOrderHoweverTheStreamIsCut) {
    std::vector<std::string> bodies;
    std::string stream;
    for (std::size_t index = 0; index < 2000; ++index) {
        bodies.push_back(std::string(1 + index % 300, static_cast<char>(index % 256)));
        stream += framed(bodies.back());
    }
    for (const std::size_t cut : std::vector<std::size_t>{1, 2, 3, 5, 302, stream.size()}) {
        XPCFrameReader reader;
        std::vector<std::string> read;
        for (std::size_t at = 0; at < stream.size(); at += cut) {
            reader.append(stream.substr(at, cut));
            while (std::optional<std::string> body = reader.next()) {
                read.push_back(*body);
            }
        }
        EXPECT_TRUE(read == bodies)
            << "appends of " << cut << " bytes gave " << read.size() << " frames";
    }
}

}  // namespace
}  // namespace quorin
