#include "frame.hpp"
#include "packed_string.hpp"
#include "ring.hpp"
#include "support/frames.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

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

// Whether the ring's data, after its header, is all zero, as writers take
// free space to be.
bool ring_is_zero(const uint8_t* view, uint64_t size) {
    return std::all_of(view + MAILBOX_HEADER_SIZE, view + size, [](uint8_t b) { return b == 0; });
}

// Frames are written into a ring in pieces and read out of it in parts, each
// piece straight from or to where it lies: across the ring's end too, and
// with exactly the format's bytes in between; what was read is left zero.
TEST(Frame, FramesGoIntoARingInPiecesAndComeOutInParts) {
    constexpr uint64_t SIZE = 16 + 200;  // small: the records keep wrapping
    std::vector<uint32_t> storage(SIZE / 4);
    auto* view = reinterpret_cast<uint8_t*>(storage.data());
    init_mailbox(view, SIZE);
    DrainState state;
    std::vector<ReceivedFrame> got;
    Bytes raw;
    const auto drain = [&] {
        std::optional<ReceivedFrame> current;
        drain_records(
            view, SIZE, state,
            [&](const RecordFrame& record) {
                raw.resize(record.size());
                record.copy(0, raw.data(), raw.size());
                current = receive_frame(record);
            },
            [&] {
                ASSERT_TRUE(current);
                got.push_back(std::move(*current));
            });
    };
    const auto put = [&](const OutFrame& frame) {
        const std::span<const uint8_t> pieces[] = {frame.head, frame.tail.bytes(), FRAME_END_MARKER};
        ASSERT_EQ(append_record(view, SIZE, pieces), AppendResult::ok);
        drain();
        // The payload is cleared as it is read, the rest of the record after:
        // together, all of it, wherever the record wrapped.
        EXPECT_TRUE(ring_is_zero(view, SIZE));
    };
    for (uint16_t i = 1; i <= 40; ++i) {
        Bytes payload(i * 7 % 91);  // 0 for i = 13
        for (size_t k = 0; k < payload.size(); ++k) payload[k] = static_cast<uint8_t>(i + k);
        got.clear();
        if (i % 3 == 0) {
            put(request_frame(i, 4242, "method" + std::to_string(i), payload));
            EXPECT_EQ(raw, encode_frame(FRAME_KIND_REQUEST, i, 4242,
                                        encode_request_body("method" + std::to_string(i), payload)));
            ASSERT_EQ(got.size(), 1u);
            EXPECT_EQ(got[0].kind, FRAME_KIND_REQUEST);
            EXPECT_TRUE(got[0].body_ok);
            EXPECT_EQ(got[0].method, "method" + std::to_string(i));
        } else {
            const uint8_t status = i % 3 == 1 ? STATUS_OK : STATUS_EXEC_FAILED;
            put(response_frame(i, 4242, status, payload));
            EXPECT_EQ(raw, encode_frame(FRAME_KIND_RESPONSE, i, 4242, encode_response_body(status, payload)));
            ASSERT_EQ(got.size(), 1u);
            EXPECT_EQ(got[0].kind, FRAME_KIND_RESPONSE);
            EXPECT_EQ(got[0].status, status);
            if (status != STATUS_OK) payload.clear();
        }
        EXPECT_EQ(got[0].seq, i);
        EXPECT_EQ(got[0].pid, 4242u);
        EXPECT_EQ(got[0].payload, payload);
    }
    got.clear();
    put(unfit_answer_frame(7, 1, 123456));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].status, STATUS_DELIVER_FAILED);
    EXPECT_EQ(got[0].unfit_answer_bytes, 123456u);

    // What does not hold together: a request whose method name is not a
    // packed string, and a frame whose length field lies.
    got.clear();
    ASSERT_EQ(append_record(view, SIZE, encode_frame(FRAME_KIND_REQUEST, 8, 1, bytes_of({9, 0, 0, 0, 'p', 0}))),
              AppendResult::ok);
    drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_FALSE(got[0].body_ok);
    Bytes lying = encode_frame(FRAME_KIND_RESPONSE, 9, 1, bytes_of({0, 1}));
    lying[1] ^= 1;
    ASSERT_EQ(append_record(view, SIZE, lying), AppendResult::ok);
    std::optional<ReceivedFrame> none;
    drain_records(
        view, SIZE, state, [&](const RecordFrame& record) { none = receive_frame(record); }, [] {});
    EXPECT_FALSE(none);
    // An answer whose payload was taken before its end marker proved wrong.
    Bytes bad_end = encode_frame(FRAME_KIND_RESPONSE, 10, 1, encode_response_body(STATUS_OK, Bytes(50, 7)));
    bad_end.back() ^= 1;
    ASSERT_EQ(append_record(view, SIZE, bad_end), AppendResult::ok);
    drain_records(
        view, SIZE, state, [&](const RecordFrame& record) { none = receive_frame(record); }, [] {});
    EXPECT_FALSE(none);
    EXPECT_TRUE(ring_is_zero(view, SIZE));
}

// Large payloads are taken in pieces, each cleared once copied; a reader that
// fails after taking part of a frame passes the frame over rather than leave
// it to be read again with its payload cleared.
TEST(Frame, LargePayloadsAreTakenInPiecesAndAPartlyTakenFrameIsNotReadAgain) {
    constexpr uint64_t SIZE = 16 + 100000;
    std::vector<uint32_t> storage(SIZE / 4);
    auto* view = reinterpret_cast<uint8_t*>(storage.data());
    init_mailbox(view, SIZE);
    DrainState state;
    const auto answer = [](uint16_t seq, size_t n) {
        Bytes payload(n);
        for (size_t k = 0; k < n; ++k) payload[k] = static_cast<uint8_t>(seq + k / 7);
        return payload;
    };
    // Three answers of 40,000 bytes in 100,000: the third wraps the ring's end.
    for (uint16_t seq = 1; seq <= 3; ++seq) {
        const Bytes payload = answer(seq, 40000);
        ASSERT_EQ(append_record(view, SIZE,
                                encode_frame(FRAME_KIND_RESPONSE, seq, 1, encode_response_body(STATUS_OK, payload))),
                  AppendResult::ok);
        std::optional<ReceivedFrame> got;
        drain_records(
            view, SIZE, state, [&](const RecordFrame& record) { got = receive_frame(record); }, [] {});
        ASSERT_TRUE(got);
        EXPECT_EQ(got->payload, payload);
        EXPECT_TRUE(ring_is_zero(view, SIZE));
    }

    const Bytes first = answer(4, 30000), second = answer(5, 20);
    for (const auto& [seq, payload] : {std::pair{uint16_t{4}, first}, std::pair{uint16_t{5}, second}}) {
        ASSERT_EQ(append_record(view, SIZE,
                                encode_frame(FRAME_KIND_RESPONSE, seq, 1, encode_response_body(STATUS_OK, payload))),
                  AppendResult::ok);
    }
    std::vector<ReceivedFrame> acted;
    std::optional<ReceivedFrame> current;
    const auto drain_failing_after_take = [&] {
        drain_records(
            view, SIZE, state,
            [&](const RecordFrame& record) {
                current = receive_frame(record);
                if (current && current->seq == 4) throw std::bad_alloc();
            },
            [&] { acted.push_back(std::move(*current)); });
    };
    EXPECT_THROW(drain_failing_after_take(), std::bad_alloc);
    drain_failing_after_take();
    ASSERT_EQ(acted.size(), 1u);
    EXPECT_EQ(acted[0].seq, 5u);
    EXPECT_EQ(acted[0].payload, second);
    EXPECT_TRUE(ring_is_zero(view, SIZE));
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
    Bytes padded(good.begin(), good.end() - 3);
    padded.push_back(0);
    padded.insert(padded.end(), std::begin(FRAME_END_MARKER), std::end(FRAME_END_MARKER));
    EXPECT_FALSE(decode_frame(padded));

    // Too short to be a frame even when its length field agrees.
    const Bytes short_frame = bytes_of({0xAA, 14, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0xBB, 0xCC, 0xDD});
    ASSERT_EQ(short_frame.size(), 14u);
    EXPECT_FALSE(decode_frame(short_frame));
    EXPECT_FALSE(decode_frame(Bytes{}));
}

}  // namespace
}  // namespace tarnvel
