// Bit-level reading and rewriting of compressed audio packets, most
// significant bit first (the order of the MPEG and Opus syntaxes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace sonorix::lossless {

// Reads fields of up to 32 bits; reading past the end sets failed() and
// yields zeros, so a parser checks once per element instead of per field.
class BitReader {
public:
    explicit BitReader(std::span<const uint8_t> data) : data_(data) {}

    uint32_t read(int bits) {
        uint32_t value = 0;
        for (int i = 0; i < bits; ++i) value = (value << 1) | read_bit();
        return value;
    }
    uint32_t read_bit() {
        if (pos_ >= data_.size() * 8) {
            failed_ = true;
            return 0;
        }
        const uint32_t bit = (data_[pos_ >> 3] >> (7 - (pos_ & 7))) & 1u;
        ++pos_;
        return bit;
    }
    void skip(size_t bits) {
        pos_ += bits;
        if (pos_ > data_.size() * 8) failed_ = true;
    }
    // The position in bits from the start of the data.
    size_t position() const { return pos_; }
    void seek(size_t bit) { pos_ = bit; }
    size_t bits_left() const { return pos_ >= data_.size() * 8 ? 0 : data_.size() * 8 - pos_; }
    bool failed() const { return failed_; }

private:
    std::span<const uint8_t> data_;
    size_t pos_ = 0;
    bool failed_ = false;
};

// Overwrites `bits` bits at bit position `at` with `value`; the caller has
// checked that the field lies inside the data.
inline void write_bits(std::span<uint8_t> data, size_t at, int bits, uint32_t value) {
    for (int i = bits - 1; i >= 0; --i, ++at) {
        const uint8_t mask = static_cast<uint8_t>(0x80u >> (at & 7));
        if ((value >> i) & 1u)
            data[at >> 3] |= mask;
        else
            data[at >> 3] &= static_cast<uint8_t>(~mask);
    }
}

// How far every gain field of a packet (or a whole track) may move, in the
// codec's steps, before one leaves its range.
struct GainRoom {
    int down = 1 << 20;
    int up = 1 << 20;
    void narrow(const GainRoom& other) {
        if (other.down < down) down = other.down;
        if (other.up < up) up = other.up;
    }
    bool allows(int steps) const { return steps >= 0 ? steps <= up : -steps <= down; }
};

}  // namespace sonorix::lossless
