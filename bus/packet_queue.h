// The packets a device has queued for the host: their bytes in one ring and
// their lengths in another, grown when full and never shrunk, so that a
// steady stream allocates nothing.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace bus {

class PacketQueue {
public:
    bool empty() const { return lengths_.size == 0; }
    size_t bytes() const { return bytes_.size; }
    size_t front_size() const { return lengths_.at(0); }

    void push(std::span<const uint8_t> packet)
    {
        bytes_.push(packet.data(), packet.size());
        const size_t length = packet.size();
        lengths_.push(&length, 1);
    }
    // Copies the first min(n, front_size()) bytes of the front packet to
    // `out` and removes them; a packet with nothing left goes.
    size_t take_front(uint8_t* out, size_t n)
    {
        const size_t k = std::min(n, front_size());
        bytes_.copy_front(out, k);
        bytes_.pop(k);
        lengths_.at(0) -= k;
        if (lengths_.at(0) == 0)
            lengths_.pop(1);
        return k;
    }
    void drop_front()
    {
        bytes_.pop(front_size());
        lengths_.pop(1);
    }
    void clear()
    {
        bytes_.pop(bytes_.size);
        lengths_.pop(lengths_.size);
    }

private:
    template <typename T>
    struct Ring {
        std::vector<T> items;
        size_t head = 0, size = 0;

        T& at(size_t i) { return items[(head + i) % items.size()]; }
        const T& at(size_t i) const { return items[(head + i) % items.size()]; }
        // At most two contiguous pieces: up to the end of the storage, then from its start.
        void push(const T* from, size_t n)
        {
            if (n == 0)
                return;
            while (size + n > items.size())
                grow();
            const size_t tail = (head + size) % items.size();
            const size_t first = std::min(n, items.size() - tail);
            std::copy(from, from + first, items.begin() + std::ptrdiff_t(tail));
            std::copy(from + first, from + n, items.begin());
            size += n;
        }
        void copy_front(T* to, size_t n) const
        {
            const size_t first = std::min(n, items.size() - head);
            std::copy(items.begin() + std::ptrdiff_t(head), items.begin() + std::ptrdiff_t(head + first), to);
            std::copy(items.begin(), items.begin() + std::ptrdiff_t(n - first), to + first);
        }
        void pop(size_t n)
        {
            if (n == 0 || items.empty())
                return;
            head = (head + n) % items.size();
            size -= n;
        }
        void grow()
        {
            std::vector<T> bigger(std::max<size_t>(64, items.size() * 2));
            if (size > 0)
                copy_front(bigger.data(), size);
            items.swap(bigger);
            head = 0;
        }
    };
    Ring<uint8_t> bytes_;
    Ring<size_t> lengths_;
};

}  // namespace bus
