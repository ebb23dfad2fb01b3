#include "frame.hpp"
#include "packed_string.hpp"
#include "support/frames.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tarnvel {
namespace {

Bytes bytes_of(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values) {
        out.push_back(static_cast<uint8_t>(v));
    }
    return out;
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(PackedString, Encodes) {
    EXPECT_EQ(pack_cstring(""), bytes_of({0x01, 0, 0, 0, 0}));
    EXPECT_EQ(pack_cstring("abc"), bytes_of({0x04, 0, 0, 0, 0x61, 0x62, 0x63, 0}));
    // A zero byte inside is part of the string: the length field decides.
    EXPECT_EQ(pack_cstring(std::string_view("a\0b", 3)), bytes_of({0x04, 0, 0, 0, 'a', 0, 'b', 0}));
    // 300 bytes: the length field uses more than its low byte.
    const Bytes long_form = pack_cstring(std::string(300, 'x'));
    ASSERT_EQ(long_form.size(), 305u);
    EXPECT_EQ(Bytes(long_form.begin(), long_form.begin() + 4), bytes_of({0x2D, 0x01, 0, 0}));
}

TEST(PackedString, ReadsBackWithRest) {
    const Bytes input = concat(pack_cstring(std::string_view("a\0b", 3)), bytes_of({7, 8}));
    const auto s = unpack_cstring(input);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->text, std::string_view("a\0b", 3));
    EXPECT_EQ(Bytes(s->rest.begin(), s->rest.end()), bytes_of({7, 8}));

    const auto empty = unpack_cstring(pack_cstring(""));
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->text, "");
    EXPECT_TRUE(empty->rest.empty());
}

TEST(PackedString, ReaderRefusesMalformedHeads) {
    EXPECT_FALSE(unpack_cstring(Bytes{}));
    EXPECT_FALSE(unpack_cstring(bytes_of({1, 0, 0})));                         // shorter than the field
    EXPECT_FALSE(unpack_cstring(bytes_of({0, 0, 0, 0, 0, 0})));                // zero length field
    EXPECT_FALSE(unpack_cstring(bytes_of({4, 0, 0, 0, 'a', 'b', 0})));         // one byte short
    EXPECT_FALSE(unpack_cstring(bytes_of({4, 0, 0, 0, 'a', 'b', 'c', 'd'})));  // no zero at the end
    // L + 4 wraps to 3 in 32 bits: a reader that adds in 32 bits would accept
    // it and index far past the end.
    EXPECT_FALSE(unpack_cstring(bytes_of({0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0})));
    EXPECT_FALSE(unpack_cstring(bytes_of({0xFD, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0})));
}

TEST(Frame, EncodesLayout) {
    const Bytes frame = encode_frame(FRAME_KIND_RESPONSE, 0x1234, 0xA1B2C3D4, bytes_of({9, 8}));
    EXPECT_EQ(frame, bytes_of({0xAA, 17, 0, 0, 0, 2, 0x34, 0x12, 0xD4, 0xC3, 0xB2, 0xA1, 9, 8, 0xBB, 0xCC, 0xDD}));
    const auto decoded = decode_frame(frame);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->kind, FRAME_KIND_RESPONSE);
    EXPECT_EQ(decoded->seq, 0x1234);
    EXPECT_EQ(decoded->pid, 0xA1B2C3D4u);
    EXPECT_EQ(decoded->body, bytes_of({9, 8}));
    EXPECT_EQ(encode_frame(*decoded), frame);

    const auto empty = decode_frame(encode_frame(FRAME_KIND_REQUEST, 1, 2, {}));
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->body.empty());
}

TEST(Frame, RequestForPingWithThreeArgumentBytes) {
    const Bytes args = bytes_of({0x10, 0x20, 0x30});
    const Bytes body = encode_request_body("ping", args);
    EXPECT_EQ(body, bytes_of({0x05, 0, 0, 0, 0x70, 0x69, 0x6E, 0x67, 0x00, 0x10, 0x20, 0x30}));
    const Bytes frame = encode_frame(FRAME_KIND_REQUEST, 7, 4242, body);
    EXPECT_EQ(frame.size(), 27u);

    const auto decoded = decode_frame(frame);
    ASSERT_TRUE(decoded);
    const auto request = decode_request_body(decoded->body);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->method, "ping");
    EXPECT_EQ(Bytes(request->args.begin(), request->args.end()), args);

    const Bytes no_args_body = encode_request_body("sys.list_nodes", {});
    const auto no_args = decode_request_body(no_args_body);
    ASSERT_TRUE(no_args);
    EXPECT_EQ(no_args->method, "sys.list_nodes");
    EXPECT_TRUE(no_args->args.empty());
}

// A frame handed back is memory for the next: none of its bytes may show.
TEST(Frame, FramesBuiltInRecycledMemoryAreExact) {
    const Bytes big(100000, 0xEE);
    for (int round = 0; round < 2; ++round) {
        recycle_frame(encode_response(9, 77, STATUS_OK, big));
        const Bytes args = bytes_of({1, 2});
        EXPECT_EQ(encode_request(5, 4242, "ping", args),
                  encode_frame(FRAME_KIND_REQUEST, 5, 4242, encode_request_body("ping", args)));
        recycle_frame(encode_request(6, 1, "m", big));
        EXPECT_EQ(encode_response(3, 8, STATUS_EXEC_FAILED, big),
                  encode_frame(FRAME_KIND_RESPONSE, 3, 8, bytes_of({2})));
        const Bytes answer = encode_response(4, 8, STATUS_OK, big);
        EXPECT_EQ(answer, encode_frame(FRAME_KIND_RESPONSE, 4, 8, encode_response_body(STATUS_OK, big)));
        recycle_frame(Bytes(answer));
    }
}

TEST(Frame, RequestBodyFollowsPackedStringRule) {
    EXPECT_FALSE(decode_request_body(bytes_of({5, 0, 0})));
    EXPECT_FALSE(decode_request_body(bytes_of({0, 0, 0, 0, 'x'})));
    EXPECT_FALSE(decode_request_body(bytes_of({9, 0, 0, 0, 'p', 'i', 'n', 'g', 0})));
    EXPECT_FALSE(decode_request_body(bytes_of({5, 0, 0, 0, 'p', 'i', 'n', 'g', 'x', 0})));
}

TEST(Frame, ResponseBodyCarriesResultOnlyForOk) {
    const Bytes result = bytes_of({1, 2, 3});
    EXPECT_EQ(encode_response_body(STATUS_EXEC_FAILED, result), bytes_of({0x02}));
    EXPECT_EQ(encode_response_body(STATUS_OK, result), bytes_of({0, 1, 2, 3}));
    EXPECT_EQ(encode_response_body(STATUS_OK, {}), bytes_of({0}));
}

TEST(Frame, DecodeRejectsDamagedFrames) {
    const Bytes good = encode_frame(FRAME_KIND_REQUEST, 3, 99, bytes_of({1, 2, 3, 4}));
    ASSERT_TRUE(decode_frame(good));

    const auto damaged = [&](size_t index, uint8_t value) {
        Bytes b = good;
        b[index] = value;
        return decode_frame(b).has_value();
    };
    EXPECT_FALSE(damaged(0, 0xAB));                // start marker
    EXPECT_FALSE(damaged(good.size() - 3, 0xBA));  // each end marker byte
    EXPECT_FALSE(damaged(good.size() - 2, 0));
    EXPECT_FALSE(damaged(good.size() - 1, 0xDC));
    EXPECT_FALSE(damaged(1, static_cast<uint8_t>(good.size() + 1)));  // length field disagrees
    EXPECT_FALSE(damaged(1, static_cast<uint8_t>(good.size() - 1)));
    EXPECT_FALSE(damaged(4, 1));  // high byte of the length field

    // A frame cut short or padded no longer matches its length field.
    EXPECT_FALSE(decode_frame(std::span(good).first(good.size() - 1)));
    Bytes padded = good;
    padded.insert(padded.end() - 3, 0);
    EXPECT_FALSE(decode_frame(padded));

    // Too short to be a frame even when its length field agrees.
    const Bytes short_frame = bytes_of({0xAA, 14, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0xBB, 0xCC, 0xDD});
    ASSERT_EQ(short_frame.size(), 14u);
    EXPECT_FALSE(decode_frame(short_frame));
    EXPECT_FALSE(decode_frame(Bytes{}));
}

}  // namespace
}  // namespace tarnvel
