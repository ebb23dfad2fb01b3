// The book of a system read and written byte by byte, as a foreign program
// following the layout would, under the system's book mutex.
#pragma once

#include "support/platform_extras.hpp"
#include "tarnvel/tarnvel.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarnvel::test {

struct RawSlot {
    size_t index = 0;
    uint32_t pid = 0;
    std::string node_name;     // up to the first NUL of the field
    std::string mailbox_name;  // likewise
};

class RawBook {
public:
    // Opens the existing book of `system` and keeps it alive while this lives.
    // Throws std::runtime_error when the system has no book.
    explicit RawBook(const std::string& system);

    // All BOOK_SIZE bytes, copied under the book mutex.
    Bytes snapshot();
    // The occupied slots, in index order.
    std::vector<RawSlot> slots();
    // Zeroes every slot carrying `pid`, under the book mutex.
    void purge(uint32_t pid);
    // Writes one slot as a node of another program would, under the mutex.
    void write_slot(size_t index, uint32_t pid, std::string_view node_name, std::string_view mailbox_name);

    static RawSlot parse_slot(const Bytes& book, size_t index);

private:
    platform::NamedMutex mutex_;
    platform::PeerMailbox view_;
};

}  // namespace tarnvel::test
