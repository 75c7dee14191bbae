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

TEST(XPCFrameTest, FramesABodyBehindItsBigEndianLength) {
    EXPECT_EQ(framed("a"),
              "\0\0\0\x01"
              "a"s);
    const std::string body(0x0102, 'b');
    EXPECT_EQ(framed(body), "\0\0\x01\x02"s + body);
    const std::string largest(maximumFrameBytes, 'c');
    EXPECT_EQ(framed(largest), "\0\x80\0\0"s + largest);
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

TEST(XPCFrameTest, ReadsBodiesOfTheSmallestAndLargestLength) {
    for (const std::size_t length : {std::size_t{1}, maximumFrameBytes}) {
        XPCFrameReader reader;
        const std::string body(length, 'z');
        reader.append(framed(body));
        EXPECT_EQ(reader.next(), body) << length;
        EXPECT_EQ(reader.next(), std::nullopt) << length;
    }
}

TEST(XPCFrameTest, ReadsAFrameArrivingByteByByte) {
    const std::string body = "{\"id\":1,\"reply\":\"\0\"}"s;
    const std::string frame = framed(body);
    XPCFrameReader reader;
    for (std::size_t index = 0; index + 1 < frame.size(); ++index) {
        reader.append(frame.substr(index, 1));
        ASSERT_EQ(reader.next(), std::nullopt) << "after byte " << index;
    }
    reader.append(frame.substr(frame.size() - 1));
    EXPECT_EQ(reader.next(), body);
    EXPECT_EQ(reader.next(), std::nullopt);
}

TEST(XPCFrameTest, ReadsManyFramesFromOneAppendInOrder) {
    std::vector<std::string> bodies;
    std::string stream;
    for (std::size_t index = 0; index < 2000; ++index) {
        bodies.push_back(std::string(1 + index % 300, static_cast<char>('a' + index % 26)));
        stream += framed(bodies.back());
    }
    XPCFrameReader reader;
    reader.append(stream);
    for (const std::string& body : bodies) {
        ASSERT_EQ(reader.next(), body);
    }
    EXPECT_EQ(reader.next(), std::nullopt);
}

TEST(XPCFrameTest, KeepsAPartialFrameAcrossAppends) {
    const std::string first = framed("first");
    const std::string second = framed("second");
    // The second frame's prefix is itself split between the appends.
    XPCFrameReader reader;
    reader.append(first + second.substr(0, 2));
    EXPECT_EQ(reader.next(), "first");
    EXPECT_EQ(reader.next(), std::nullopt);
    reader.append(second.substr(2, 5));
    EXPECT_EQ(reader.next(), std::nullopt);
    reader.append(second.substr(7) + first);
    EXPECT_EQ(reader.next(), "second");
    EXPECT_EQ(reader.next(), "first");
    EXPECT_EQ(reader.next(), std::nullopt);
}

}  // namespace
}  // namespace quorin
