// Packed-file headers: exact bytes written, in-place rewrite, and every check
// of the reader with its message.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "base/Exception.h"
#include "io/PackedHeaders.h"

namespace {

std::string bytesOf(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s.push_back(static_cast<char>(v));
    return s;
}

template <typename Fn>
std::string messageOf(Fn&& fn) {
    try {
        fn();
    } catch (const Exception& e) {
        return e.what();
    }
    return "<no exception>";
}

}  // namespace

TEST(FileHeader, WritesMagicAndLittleEndianSize) {
    std::ostringstream out;
    writeFileHeader(out, 0x01020304u);
    EXPECT_EQ(out.str(), std::string("MORV_Q17") + bytesOf({4, 3, 2, 1}));
}

TEST(FileHeader, ReadsBackWhatWasWritten) {
    std::stringstream s;
    writeFileHeader(s, 4294967295u);
    FileHeader h;
    readFileHeader(s, h);
    EXPECT_EQ(h.unpackedSize, 4294967295u);
    EXPECT_EQ(std::string(h.magic, 8), "MORV_Q17");
}

TEST(FileHeader, EmptyFileHeaderIsValid) {
    std::istringstream in(std::string("MORV_Q17") + bytesOf({0, 0, 0, 0}));
    FileHeader h;
    readFileHeader(in, h);
    EXPECT_EQ(h.unpackedSize, 0u);
}

TEST(FileHeader, AnyWrongMagicByteIsRejected) {
    for (int i = 0; i < 8; ++i) {
        std::string bytes = std::string("MORV_Q17") + bytesOf({1, 0, 0, 0});
        bytes[static_cast<size_t>(i)] ^= 0x20;
        std::istringstream in(bytes);
        FileHeader h;
        EXPECT_EQ(messageOf([&] { readFileHeader(in, h); }), "Invalid file (header id does not match).")
            << "byte " << i;
    }
}

TEST(FileHeader, ShortFileIsRejected) {
    for (size_t len : {0u, 5u, 8u, 11u}) {
        std::istringstream in((std::string("MORV_Q17") + bytesOf({1, 0, 0, 0})).substr(0, len));
        FileHeader h;
        EXPECT_EQ(messageOf([&] { readFileHeader(in, h); }), "Invalid file (header id does not match).")
            << "length " << len;
    }
}

TEST(BlockHeader, WritesEighteenBytesInOrder) {
    BlockHeader h;
    h.magic[0] = 'x';  // the literal "BLCK" is written, not this field
    h.payloadSize = 0x11223344u;
    h.blockLength = 10;
    h.method = 5;
    h.coder = 1;
    h.reserved = 0;
    std::ostringstream out;
    writeBlockHeader(out, h);
    EXPECT_EQ(out.str(),
              std::string("BLCK") + bytesOf({0x44, 0x33, 0x22, 0x11, 10, 0, 0, 0, 5, 1, 0, 0, 0, 0}));
}

TEST(BlockHeader, RewriteInPlaceKeepsFollowingBytes) {
    std::stringstream s;
    writeFileHeader(s, 3);
    const auto p0 = s.tellp();
    writeBlockHeader(s, BlockHeader{});
    s << "abc";
    const auto p2 = s.tellp();
    BlockHeader h;
    h.payloadSize = 3;
    h.blockLength = 3;
    h.method = 2;
    h.coder = 0;
    s.seekp(p0);
    writeBlockHeader(s, h);
    s.seekp(p2);
    EXPECT_EQ(s.str().size(), 12u + 18u + 3u);
    EXPECT_EQ(s.str().substr(30), "abc");

    s.seekg(12);
    BlockHeader back;
    readBlockHeader(s, back);
    EXPECT_EQ(back.payloadSize, 3u);
    EXPECT_EQ(back.blockLength, 3u);
    EXPECT_EQ(back.method, 2);
    EXPECT_EQ(back.coder, 0);
}

TEST(BlockHeader, WrongMagicIsRejectedBeforeTheOtherFields) {
    std::istringstream in(std::string("BLCX") + std::string(14, '\0'));
    BlockHeader h;
    EXPECT_EQ(messageOf([&] { readBlockHeader(in, h); }), "Invalid block (header id does not match).");
    EXPECT_EQ(in.tellg(), 4);
}

TEST(BlockHeader, CoderByteTwoIsRejectedAfterTheWholeHeader) {
    std::istringstream in(std::string("BLCK") + bytesOf({1, 0, 0, 0, 1, 0, 0, 0, 5, 2, 0, 0, 0, 0}) +
                          "zz");
    BlockHeader h;
    EXPECT_EQ(messageOf([&] { readBlockHeader(in, h); }),
              "Invalid arithmetic coder type (maybe block is corrupted?)");
    EXPECT_EQ(in.tellg(), 18);
}

TEST(BlockHeader, NonZeroReservedIsAccepted) {
    std::istringstream in(std::string("BLCK") +
                          bytesOf({7, 0, 0, 0, 9, 0, 0, 0, 1, 1, 0xff, 0xff, 0xff, 0xff}));
    BlockHeader h;
    readBlockHeader(in, h);
    EXPECT_EQ(h.payloadSize, 7u);
    EXPECT_EQ(h.blockLength, 9u);
    EXPECT_EQ(h.reserved, 0xFFFFFFFFu);
}

TEST(BlockHeader, HeaderCutShortIsRejected) {
    const std::string whole = std::string("BLCK") + bytesOf({7, 0, 0, 0, 9, 0, 0, 0, 1, 1, 0, 0, 0, 0});
    for (size_t len = 0; len < whole.size(); ++len) {
        std::istringstream in(whole.substr(0, len));
        BlockHeader h;
        EXPECT_EQ(messageOf([&] { readBlockHeader(in, h); }),
                  "Invalid block (header id does not match).")
            << "length " << len;
    }
}
