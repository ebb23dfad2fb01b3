// Feeds arbitrary bytes to the frame and packed-string decoders and treats
// them as a mailbox image for the ring's reader and writer. Besides what the
// sanitizers catch, it checks that whatever decodes encodes back to the same
// bytes, that a damaged mailbox never leaves the reader with a header it
// would not accept, and that the ring agrees with a plain queue model.
#include "frame.hpp"
#include "packed_string.hpp"
#include "ring.hpp"
#include "support/frames.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>
#include <span>

namespace {

using tarnvel::AppendResult;
using tarnvel::Bytes;

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_frames: %s\n", what);
        std::abort();
    }
}

// Exactly `size` bytes, so the address sanitizer sees any access past the view.
class View {
public:
    explicit View(size_t size)
        : size_(size), data_(static_cast<uint8_t*>(::operator new (size, std::align_val_t{64}))) {
        std::memset(data_, 0, size_);
    }
    ~View() { ::operator delete (data_, std::align_val_t{64}); }
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    uint32_t field(size_t offset) const {
        uint32_t v;
        std::memcpy(&v, data_ + offset, 4);
        return v;
    }
    void set_field(size_t offset, uint32_t v) { std::memcpy(data_ + offset, &v, 4); }

private:
    size_t size_;
    uint8_t* data_;
};

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            v |= uint32_t{byte()} << (8 * i);
        }
        return v;
    }
    bool done() const { return pos_ >= size_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

void fuzz_decoders(std::span<const uint8_t> input) {
    if (auto frame = tarnvel::decode_frame(input)) {
        const Bytes again = tarnvel::encode_frame(*frame);
        check(std::equal(again.begin(), again.end(), input.begin(), input.end()), "frame round trip");
        tarnvel::decode_request_body(frame->body);
    }
    if (auto request = tarnvel::decode_request_body(input)) {
        const Bytes again = tarnvel::encode_request_body(request->method, request->args);
        check(std::equal(again.begin(), again.end(), input.begin(), input.end()), "request round trip");
    }
    if (auto packed = tarnvel::unpack_cstring(input)) {
        Bytes again = tarnvel::pack_cstring(packed->text);
        again.insert(again.end(), packed->rest.begin(), packed->rest.end());
        check(std::equal(again.begin(), again.end(), input.begin(), input.end()), "packed round trip");
    }
}

// A frame read out of the ring in parts says what the decoders of the whole
// frame say of it.
void check_received_agrees(const tarnvel::RecordFrame& record, std::span<const uint8_t> whole) {
    const auto got = tarnvel::receive_frame(record);
    const auto frame = tarnvel::view_frame(whole);
    check(got.has_value() == frame.has_value(), "receive_frame and view_frame disagree");
    if (!frame) return;
    check(got->kind == frame->kind && got->seq == frame->seq && got->pid == frame->pid, "received envelope");
    const auto same = [](const Bytes& a, std::span<const uint8_t> b) { return std::ranges::equal(a, b); };
    if (frame->kind == tarnvel::FRAME_KIND_RESPONSE) {
        const uint8_t status = frame->body.empty() ? tarnvel::STATUS_EXEC_FAILED : frame->body[0];
        check(got->status == status, "received status");
        check(same(got->payload, status == tarnvel::STATUS_OK ? frame->body.subspan(1) : std::span<const uint8_t>{}),
              "received result");
        check(got->unfit_answer_bytes == tarnvel::unfit_answer_size(frame->body), "received answer size");
    } else if (frame->kind == tarnvel::FRAME_KIND_REQUEST) {
        const auto request = tarnvel::decode_request_body(frame->body);
        check(got->body_ok == request.has_value(), "received request body");
        if (request) check(got->method == request->method && same(got->payload, request->args), "received request");
    }
}

// The input as one frame in a fresh ring, starting where its last byte says,
// so that it often wraps: read out in parts, it agrees with the whole.
void fuzz_received(std::span<const uint8_t> frame) {
    if (frame.empty()) return;
    const size_t size = tarnvel::MAILBOX_HEADER_SIZE + tarnvel::RECORD_HEADER_SIZE + frame.size() + frame.back() % 64;
    View view(size);
    tarnvel::init_mailbox(view.data(), size);
    const uint64_t modulus = tarnvel::ring_modulus(tarnvel::mailbox_capacity(size));
    const auto start = static_cast<uint32_t>(frame.back() * uint64_t{7919} % modulus);
    view.set_field(8, start);
    view.set_field(12, start);
    check(tarnvel::append_record(view.data(), view.size(), frame) == AppendResult::ok, "one frame fits");
    tarnvel::DrainState state;
    bool read = false;
    tarnvel::drain_records(
        view.data(), view.size(), state,
        [&](const tarnvel::RecordFrame& record) {
            check(record.size() == frame.size(), "record size");
            check_received_agrees(record, frame);
            read = true;
        },
        [] {});
    check(read, "frame read back");
    // Writers take free space to be zero: whatever the frame held, reading it
    // leaves none of it behind.
    check(std::all_of(view.data() + tarnvel::MAILBOX_HEADER_SIZE, view.data() + view.size(),
                      [](uint8_t b) { return b == 0; }),
          "ring cleared after reading");
}

// The input as a mailbox image: the first byte chooses how much of the header
// to mend so that the reader gets past it and into the records.
void fuzz_raw_mailbox(std::span<const uint8_t> input) {
    if (input.empty()) {
        return;
    }
    const uint8_t control = input[0];
    const auto image = input.subspan(1);
    View view(std::clamp<size_t>(image.size(), tarnvel::MAILBOX_HEADER_SIZE + 1, 4096));
    std::memcpy(view.data(), image.data(), std::min(image.size(), view.size()));
    const uint32_t capacity = tarnvel::mailbox_capacity(view.size());
    const uint64_t modulus = tarnvel::ring_modulus(capacity);
    if (control & 1) {
        view.set_field(0, tarnvel::MAILBOX_MAGIC);
        view.set_field(4, capacity);
    }
    if (control & 2) {
        view.set_field(8, static_cast<uint32_t>(view.field(8) % modulus));
        view.set_field(12, static_cast<uint32_t>(view.field(12) % modulus));
    }
    if (control & 4) {
        // A consistent used count, so that records rather than the header decide.
        const auto r = static_cast<uint32_t>(view.field(12) % modulus);
        view.set_field(12, r);
        view.set_field(8, static_cast<uint32_t>((r + view.field(8) % (uint64_t{capacity} + 1)) % modulus));
    }

    // First as a sender meets it: an untrusted header that must not steer a
    // write outside the view.
    const Bytes frame(image.begin(), image.begin() + std::min<size_t>(image.size(), control >> 3));
    tarnvel::append_record(view.data(), view.size(), frame);

    Bytes buffer;
    tarnvel::DrainState state;
    const auto on_frame = [&](const Bytes& frame) {
        check(frame.size() <= capacity, "frame longer than the ring");
        if (auto f = tarnvel::decode_frame(frame)) {
            tarnvel::decode_request_body(f->body);
        }
    };
    tarnvel::drain_records(view.data(), view.size(), buffer, state, on_frame);

    uint32_t r = view.field(12);
    uint32_t w = view.field(8);
    check(view.field(0) == tarnvel::MAILBOX_MAGIC && view.field(4) == capacity, "header left damaged");
    check(r < modulus && w < modulus && (w + modulus - r) % modulus <= capacity, "positions left damaged");

    // Nothing written stays in the way for good: once writers have had
    // their time, a drain empties the ring whatever it holds.
    auto clock = tarnvel::DrainClock::now();
    const auto leaping_clock = [&] { return clock += std::chrono::hours(1); };
    check(!tarnvel::drain_records(view.data(), view.size(), buffer, state, on_frame, leaping_clock),
          "drain asked to come back");
    r = view.field(12);
    w = view.field(8);
    check(r == w, "records left behind once abandoned");

    const AppendResult result = tarnvel::append_record(view.data(), view.size(), frame);
    if (r == w) {
        // An empty ring takes any record that fits and gives back just that.
        const bool fits = frame.size() + tarnvel::RECORD_HEADER_SIZE <= capacity;
        check(result == (fits ? AppendResult::ok : AppendResult::too_large), "append to empty ring");
        std::deque<Bytes> got;
        tarnvel::drain_records(view.data(), view.size(), buffer, state, [&](const Bytes& f) { got.push_back(f); });
        check(fits ? (got.size() == 1 && got.front() == frame) : got.empty(), "record read back");
    }
}

// A fresh mailbox driven by the input, checked against a queue: appends are
// accepted exactly when they fit and come back whole and in order.
void fuzz_against_model(std::span<const uint8_t> input) {
    Reader in(input.data(), input.size());
    const size_t size = tarnvel::MAILBOX_HEADER_SIZE + 1 + in.byte();
    View view(size);
    tarnvel::init_mailbox(view.data(), size);
    const uint32_t capacity = tarnvel::mailbox_capacity(size);
    const uint64_t modulus = tarnvel::ring_modulus(capacity);
    // Start anywhere, often just below the position wrap.
    const uint32_t start =
        in.byte() & 1 ? static_cast<uint32_t>(modulus - 1 - in.byte()) : static_cast<uint32_t>(in.u32() % modulus);
    view.set_field(8, start);
    view.set_field(12, start);

    std::deque<Bytes> expected;
    uint64_t used = 0;
    Bytes buffer;
    tarnvel::DrainState state;
    uint8_t stamp = 0;
    for (int op = 0; op < 64 && !in.done(); ++op) {
        const uint8_t choice = in.byte();
        if (choice < 0xC0) {
            Bytes frame(choice % 80, ++stamp);
            const uint64_t need = frame.size() + tarnvel::RECORD_HEADER_SIZE;
            const AppendResult result = tarnvel::append_record(view.data(), view.size(), frame);
            if (need > capacity) {
                check(result == AppendResult::too_large, "too large");
            } else if (need + used > capacity) {
                check(result == AppendResult::full, "full");
            } else {
                check(result == AppendResult::ok, "fits");
                expected.push_back(frame);
                used += need;
            }
        } else {
            tarnvel::drain_records(view.data(), view.size(), buffer, state, [&](const Bytes& f) {
                check(!expected.empty() && expected.front() == f, "order");
                used -= f.size() + tarnvel::RECORD_HEADER_SIZE;
                expected.pop_front();
            });
            check(expected.empty() && used == 0, "drain left records");
            check(view.field(8) == view.field(12), "positions after drain");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> input(data, size);
    fuzz_decoders(input);
    fuzz_received(input);
    fuzz_raw_mailbox(input);
    fuzz_against_model(input);
    return 0;
}
