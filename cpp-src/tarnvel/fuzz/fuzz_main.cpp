// A stand-in for libFuzzer where the compiler has none: runs the target on
// generated and mutated inputs from a fixed seed.
//
//   fuzz_frames [iterations [seed [max_seconds]]]
//
// The same arguments always produce the same inputs, so a failure reproduces.
#include "frame.hpp"
#include "ring.hpp"
#include "support/frames.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <random>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

using tarnvel::Bytes;

class Generator {
public:
    explicit Generator(uint64_t seed) : rng_(seed) {}

    Bytes next() {
        Bytes input;
        switch (below(pool_.empty() ? 3 : 5)) {
            case 0:
                input = random_bytes(below(512));
                break;
            case 1:
                input = frame();
                break;
            case 2:
                input = mailbox_image();
                break;
            default:
                input = mutate(pool_[below(pool_.size())]);
                break;
        }
        if (pool_.size() < 128) {
            pool_.push_back(input);
        } else {
            pool_[below(pool_.size())] = input;
        }
        return input;
    }

private:
    size_t below(size_t n) { return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
    uint8_t byte() { return static_cast<uint8_t>(rng_()); }

    Bytes random_bytes(size_t n) {
        Bytes out(n);
        for (auto& b : out) {
            b = byte();
        }
        return out;
    }

    Bytes frame() {
        Bytes body;
        if (below(2) == 0) {
            const Bytes name = random_bytes(below(20));
            const std::string_view method(reinterpret_cast<const char*>(name.data()), name.size());
            body = tarnvel::encode_request_body(method, random_bytes(below(40)));
        } else {
            body = tarnvel::encode_response_body(static_cast<uint8_t>(below(4)), random_bytes(below(40)));
        }
        return tarnvel::encode_frame(static_cast<uint8_t>(1 + below(2)), static_cast<uint16_t>(rng_()),
                                     static_cast<uint32_t>(rng_()), body);
    }

    // A control byte, a sound header and records, some of them written through
    // the real writer from positions near the wrap.
    Bytes mailbox_image() {
        const size_t size = 17 + below(300);
        std::vector<uint8_t> view_storage(size + 4);
        auto* view = view_storage.data();
        while (reinterpret_cast<uintptr_t>(view) % 4 != 0) {
            ++view;
        }
        tarnvel::init_mailbox(view, size);
        const uint32_t capacity = tarnvel::mailbox_capacity(size);
        const uint64_t modulus = tarnvel::ring_modulus(capacity);
        const auto start = static_cast<uint32_t>(below(2) == 0 ? modulus - 1 - below(64) : below(capacity));
        for (int field : {8, 12}) {
            for (int i = 0; i < 4; ++i) {
                view[field + i] = static_cast<uint8_t>(start >> (8 * i));
            }
        }
        for (size_t n = below(6); n > 0; --n) {
            tarnvel::append_record(view, size, frame());
        }
        Bytes out{static_cast<uint8_t>(rng_() | 1)};
        out.insert(out.end(), view, view + size);
        return out;
    }

    Bytes mutate(Bytes input) {
        for (size_t n = 1 + below(4); n > 0; --n) {
            const size_t at = below(input.size() + 1);
            switch (below(6)) {
                case 0:
                    if (at < input.size()) input[at] ^= static_cast<uint8_t>(1u << below(8));
                    break;
                case 1: {
                    static constexpr uint8_t interesting[] = {0, 1, 0x7F, 0x80, 0xFF, 0xAA, 0xBB, 0xCC, 0xDD, 15, 8};
                    if (at < input.size()) input[at] = interesting[below(sizeof interesting)];
                    break;
                }
                case 2:
                    input.insert(input.begin() + static_cast<ptrdiff_t>(at), byte());
                    break;
                case 3:
                    if (at < input.size()) input.erase(input.begin() + static_cast<ptrdiff_t>(at));
                    break;
                case 4:
                    input.resize(below(input.size() + 1));
                    break;
                default: {
                    // A 32-bit field set to an edge value.
                    static constexpr uint32_t edges[] = {0, 1, 14, 15, 16, 0x7FFFFFFF, 0xFFFFFFFB, 0xFFFFFFFF};
                    const uint32_t v = edges[below(std::size(edges))];
                    for (int i = 0; i < 4 && at + static_cast<size_t>(i) < input.size(); ++i) {
                        input[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
                    }
                    break;
                }
            }
        }
        return input;
    }

    std::mt19937_64 rng_;
    std::vector<Bytes> pool_;
};

}  // namespace

int main(int argc, char** argv) {
    const unsigned long long iterations = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20000;
    const unsigned long long seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    const double max_seconds = argc > 3 ? std::strtod(argv[3], nullptr) : 0.0;

    Generator generator(seed);
    const auto started = std::chrono::steady_clock::now();
    unsigned long long done = 0;
    for (; done < iterations; ++done) {
        if (max_seconds > 0 && done % 256 == 0 &&
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() > max_seconds) {
            break;
        }
        const Bytes input = generator.next();
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("fuzz_frames: %llu inputs, seed %llu\n", done, seed);
    return 0;
}
