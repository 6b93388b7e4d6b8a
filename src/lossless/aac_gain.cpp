// The AAC-LC gain editor: a walk of raw_data_block() as ISO/IEC 14496-3
// defines it (ADTS framing as in ISO/IEC 13818-7), far enough to find every
// global_gain and the range of every scale factor counted from it.
#include "lossless/aac_gain.h"

#include "lossless/aac_syntax.h"

#include <algorithm>
#include <array>
#include <vector>

namespace sonorix::lossless {
namespace {

using aac::HuffCode;

// Element ids of raw_data_block().
enum ElementId { kSce = 0, kCpe = 1, kCce = 2, kLfe = 3, kDse = 4, kPce = 5, kFil = 6, kEnd = 7 };

constexpr int kEightShort = 2;  // window_sequence EIGHT_SHORT_SEQUENCE
constexpr int kZeroBook = 0;
constexpr int kEscBook = 11;
constexpr int kReservedBook = 12;
constexpr int kNoiseBook = 13;
constexpr int kIntensityBook2 = 14;
constexpr int kIntensityBook = 15;
constexpr int kNoiseOffset = 90;  // the first noise energy counts from global_gain - 90
constexpr int kMinScale = 0;
constexpr int kMaxScale = 255;
// Noise energies that decoders take as coded (2^(nrg/4) in amplitude).
constexpr int kMinNoise = -100;
constexpr int kMaxNoise = 155;
constexpr int kExtSbrData = 13;
constexpr int kExtSbrDataCrc = 14;
constexpr size_t kMaxGroups = 8;
constexpr size_t kMaxBands = 64;  // max_sfb is six bits
constexpr size_t kAdtsHeaderBits = 56;
constexpr int kElementCrcBits = 192;       // protected head of each SCE, CPE, LFE
constexpr int kSecondStreamCrcBits = 128;  // ... and of a CPE's second channel stream

// Most significant bit first, with a cheap look-ahead for the Huffman
// tables. Reads past the end yield zeros; the walk checks overrun() where a
// loop could otherwise spin on them.
class Bits {
public:
    explicit Bits(std::span<const uint8_t> data) : data_(data.data()), size_(data.size()) {}

    // The next n bits (1..25) without moving.
    uint32_t peek(int n) const {
        const size_t byte = pos_ >> 3;
        uint32_t word = 0;
        if (byte + 4 <= size_) {
            word = uint32_t{data_[byte]} << 24 | uint32_t{data_[byte + 1]} << 16 | uint32_t{data_[byte + 2]} << 8 |
                   data_[byte + 3];
        } else {
            for (size_t i = 0; i < 4; ++i) word = word << 8 | (byte + i < size_ ? data_[byte + i] : 0u);
        }
        return (word << (pos_ & 7)) >> (32 - n);
    }
    uint32_t read(int n) {
        if (n == 0) return 0;
        const uint32_t value = peek(n);
        pos_ += static_cast<size_t>(n);
        return value;
    }
    void skip(size_t n) { pos_ += n; }
    size_t position() const { return pos_; }
    void seek(size_t bit) { pos_ = bit; }
    bool overrun(size_t end) const { return pos_ > end; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// A Huffman book as a two-level lookup: kRootBits of look-ahead find a
// codeword or a second table for the longer ones.
class HuffTable {
public:
    struct Entry {
        uint16_t value = 0;  // symbol; for a link, where its second table starts
        uint8_t length = 0;  // whole codeword; 0 for a link (or a hole, which a complete book has none of)
        uint8_t extra = 0;   // symbol's sign bits and escape flags; for a link, its second table's bits
    };
    static constexpr int kRootBits = 9;
    static constexpr uint8_t kEscY = 0x10;
    static constexpr uint8_t kEscZ = 0x20;
    static constexpr uint8_t kSignMask = 0x0f;

    HuffTable(std::span<const HuffCode> book, const std::vector<uint8_t>& extra) {
        entries_.resize(size_t{1} << kRootBits);
        std::array<int, size_t{1} << kRootBits> longest{};
        for (const HuffCode& c : book)
            if (c.length > kRootBits) {
                const size_t root = c.code >> (c.length - kRootBits);
                longest[root] = std::max<int>(longest[root], c.length - kRootBits);
            }
        for (size_t root = 0; root < longest.size(); ++root) {
            if (!longest[root]) continue;
            entries_[root] = {static_cast<uint16_t>(entries_.size()), 0, static_cast<uint8_t>(longest[root])};
            entries_.resize(entries_.size() + (size_t{1} << longest[root]));
        }
        for (size_t symbol = 0; symbol < book.size(); ++symbol) {
            const HuffCode& c = book[symbol];
            const Entry leaf{static_cast<uint16_t>(symbol), c.length, extra[symbol]};
            size_t first = 0;
            int spare = 0;  // bits of the table index the codeword leaves free
            if (c.length <= kRootBits) {
                spare = kRootBits - c.length;
                first = size_t{c.code} << spare;
            } else {
                const Entry& link = entries_[c.code >> (c.length - kRootBits)];
                const int tail = c.length - kRootBits;
                spare = link.extra - tail;
                first = link.value + ((size_t{c.code} & ((size_t{1} << tail) - 1)) << spare);
            }
            std::fill_n(entries_.begin() + static_cast<ptrdiff_t>(first), size_t{1} << spare, leaf);
        }
    }

    // The codeword at the reader, consumed; nullptr for a hole.
    const Entry* decode(Bits& bits) const {
        const Entry* e = &entries_[bits.peek(kRootBits)];
        if (e->length == 0) {
            if (e->extra == 0) return nullptr;
            const uint32_t low = bits.peek(kRootBits + e->extra) & ((1u << e->extra) - 1);
            e = &entries_[e->value + low];
            if (e->length == 0) return nullptr;
        }
        bits.skip(e->length);
        return e;
    }

private:
    std::vector<Entry> entries_;
};

// Sign bits and escape flags of every symbol of a spectral book.
std::vector<uint8_t> spectral_extra(int book, size_t symbols) {
    const bool quads = book <= 4;
    const bool is_unsigned = book == 3 || book == 4 || book >= 7;
    const int base = quads ? 3 : book <= 6 ? 9 : book <= 8 ? 8 : book <= 10 ? 13 : 17;
    const int zero = is_unsigned ? 0 : base / 2;  // the digit that codes a 0
    std::vector<uint8_t> extra(symbols);
    for (size_t s = 0; s < symbols; ++s) {
        int rest = static_cast<int>(s);
        int nonzero = 0;
        std::array<int, 4> digit{};
        const int dims = quads ? 4 : 2;
        for (int d = dims - 1; d >= 0; --d, rest /= base) digit[static_cast<size_t>(d)] = rest % base;
        for (int d = 0; d < dims; ++d) nonzero += digit[static_cast<size_t>(d)] != zero;
        uint8_t e = is_unsigned ? static_cast<uint8_t>(nonzero) : 0;
        if (book == kEscBook) {
            if (digit[0] == 16) e |= HuffTable::kEscY;
            if (digit[1] == 16) e |= HuffTable::kEscZ;
        }
        extra[s] = e;
    }
    return extra;
}

struct Books {
    HuffTable scalefactor{aac::scalefactor_book(), std::vector<uint8_t>(aac::scalefactor_book().size())};
    std::vector<HuffTable> spectral;  // [0] unused
    Books() {
        spectral.emplace_back(std::span<const HuffCode>(), std::vector<uint8_t>());
        for (int b = 1; b <= 11; ++b)
            spectral.emplace_back(aac::spectral_book(b), spectral_extra(b, aac::spectral_book(b).size()));
    }
};

const Books& books() {
    static const Books kBooks;  // built once, then only read
    return kBooks;
}

uint16_t crc16(std::span<const uint8_t> data, size_t from, size_t bits, size_t padded, uint16_t crc) {
    // x^16 + x^15 + x^2 + 1 over the protected bits, zeros making up a short element.
    for (size_t i = 0; i < padded; ++i) {
        const size_t at = from + i;
        const uint32_t bit = i < bits ? (data[at >> 3] >> (7 - (at & 7))) & 1u : 0u;
        const bool top = ((crc >> 15) & 1u) != bit;
        crc = static_cast<uint16_t>(crc << 1);
        if (top) crc ^= 0x8005;
    }
    return crc;
}

struct IcsInfo {
    bool short_window = false;
    size_t max_sfb = 0;
    size_t groups = 1;
    std::array<size_t, kMaxGroups> group_len{1};  // windows in each group
    std::span<const uint16_t> bands;              // band starts of one window
};

// The codebook of every band of every window group.
using BandBooks = std::array<std::array<uint8_t, kMaxBands>, kMaxGroups>;

// One pass over a packet: where every moving global gain sits, how far all
// may move, and the CRC regions of protected ADTS frames.
class Walk {
public:
    struct Gain {
        size_t at;  // bit position of the eight-bit field
        int value;
    };
    struct Region {
        size_t from;
        size_t bits;
        size_t padded;
    };
    struct ProtectedFrame {
        size_t crc_at;
        size_t first_region;
        size_t regions;
    };

    Walk(const AacConfig& config, std::span<const uint8_t> packet, aac::ToolCounts* counts)
        : config_(config), data_(packet), bits_(packet), counts_(counts) {}

    bool run() {
        if (data_.empty()) return fail("the packet is empty");
        if (!config_.adts) {
            sampling_index_ = config_.sampling_index;
            frame_960_ = config_.frame_length_960;
            const size_t end = data_.size() * 8;
            if (!raw_data_block(0, end)) return false;
            if (bits_.position() != end) return fail("the packet goes on after its end element (damaged)");
            return true;
        }
        size_t offset = 0;
        while (offset < data_.size())
            if (!adts_frame(offset)) return false;
        return true;
    }

    const std::string& why() const { return why_; }
    const GainRoom& room() const { return room_; }
    std::span<const Gain> gains() const { return {gains_.data(), gain_count_}; }
    std::span<const ProtectedFrame> protected_frames() const { return protected_; }
    std::span<const Region> regions(const ProtectedFrame& f) const { return {&regions_[f.first_region], f.regions}; }

private:
    bool fail(const char* why) {
        why_ = why;
        return false;
    }
    bool truncated() { return fail("the packet ends inside its audio data (truncated or damaged)"); }

    bool adts_frame(size_t& offset) {
        if (data_.size() - offset < 7) return fail("an ADTS frame is cut short");
        bits_.seek(offset * 8);
        if (bits_.read(12) != 0xfff) return fail("an ADTS frame has no sync word");
        bits_.skip(1);  // ID: MPEG-4 or MPEG-2, the same syntax here
        if (bits_.read(2) != 0) return fail("an ADTS frame has a layer other than 0");
        const bool protection_absent = bits_.read(1);
        const int profile = static_cast<int>(bits_.read(2));
        sampling_index_ = static_cast<int>(bits_.read(4));
        bits_.skip(1 + 3 + 1 + 1 + 1 + 1);  // private, channel configuration, original, home, copyright bits
        const size_t frame_bytes = bits_.read(13);
        bits_.skip(11);  // buffer fullness
        const int blocks = static_cast<int>(bits_.read(2)) + 1;
        frame_960_ = false;
        if (profile != 1)
            return fail(profile == 0   ? "the ADTS stream is AAC Main, not AAC-LC"
                        : profile == 2 ? "the ADTS stream is AAC SSR, not AAC-LC"
                                       : "the ADTS stream is AAC LTP, not AAC-LC");
        if (sampling_index_ > 12) return fail("an ADTS frame has a reserved sampling frequency index");
        const size_t header_bytes = protection_absent ? 7 : 9;
        if (frame_bytes < header_bytes || frame_bytes > data_.size() - offset)
            return fail("an ADTS frame is longer than the packet (truncated)");
        const size_t end = (offset + frame_bytes) * 8;
        protect_ = !protection_absent;
        if (protect_) {
            // One CRC over the header and each element's head; frames of
            // several blocks carry one per block, which nothing here writes.
            if (blocks > 1) return fail("CRC-protected ADTS frames of several raw data blocks are not changed");
            protected_.push_back({bits_.position(), regions_.size(), 0});
            add_region(offset * 8, kAdtsHeaderBits, kAdtsHeaderBits);
            bits_.skip(16);
        }
        for (int b = 0; b < blocks; ++b)
            if (!raw_data_block(bits_.position(), end)) return false;
        if (bits_.position() != end) return fail("an ADTS frame goes on after its end element (damaged)");
        if (protect_) {
            const ProtectedFrame& frame = protected_.back();
            uint16_t crc = 0xffff;
            for (const Region& r : regions(frame)) crc = crc16(data_, r.from, r.bits, r.padded, crc);
            Bits stored(data_);
            stored.seek(frame.crc_at);
            if (stored.read(16) != crc) return fail("the CRC of an ADTS frame does not match its contents");
        }
        offset += frame_bytes;
        return true;
    }

    void add_region(size_t from, size_t bits, size_t padded) {
        regions_.push_back({from, std::min(bits, padded), padded});
        ++protected_.back().regions;
    }

    bool raw_data_block(size_t start, size_t end) {
        if (aac::band_offsets(sampling_index_, false, frame_960_).empty())
            return fail("the stream has a reserved sampling frequency index");
        for (;;) {
            if (bits_.overrun(end)) return truncated();
            const int id = static_cast<int>(bits_.read(3));
            const size_t element = bits_.position();
            switch (id) {
            case kSce:
            case kLfe:
                bits_.skip(4);  // element_instance_tag
                if (!channel_stream(nullptr, end)) return false;
                if (protect_) add_region(element, bits_.position() - element, kElementCrcBits);
                break;
            case kCpe: {
                size_t second = 0;
                if (!channel_pair(end, second)) return false;
                if (protect_) {
                    add_region(element, bits_.position() - element, kElementCrcBits);
                    add_region(second, bits_.position() - second, kSecondStreamCrcBits);
                }
                break;
            }
            case kCce: return fail("the stream has coupling channel elements, which this editor does not change");
            case kPce: return fail("the stream carries its channel layout in a program config element");
            case kDse: {
                bits_.skip(4);
                const bool align = bits_.read(1);
                size_t count = bits_.read(8);
                if (count == 255) count += bits_.read(8);
                if (align) align_to_byte(start);
                bits_.skip(count * 8);
                if (protect_) {
                    const size_t length = bits_.position() - element;
                    add_region(element, length, length);  // all of it
                }
                break;
            }
            case kFil: {
                size_t count = bits_.read(4);
                if (count == 15) count += bits_.read(8) - 1;
                if (count > 0) {
                    const int type = static_cast<int>(bits_.peek(4));
                    if (type == kExtSbrData || type == kExtSbrDataCrc)
                        return fail("the stream is HE-AAC (it carries SBR data), which is not changed losslessly");
                }
                bits_.skip(count * 8);
                break;
            }
            case kEnd:
                align_to_byte(start);
                if (bits_.overrun(end)) return truncated();
                return true;
            }
        }
    }

    void align_to_byte(size_t start) {
        const size_t used = (bits_.position() - start) & 7;
        if (used) bits_.skip(8 - used);
    }

    bool ics_info(IcsInfo& info) {
        bits_.skip(1);  // ics_reserved_bit
        const int window_sequence = static_cast<int>(bits_.read(2));
        bits_.skip(1);  // window_shape
        info.short_window = window_sequence == kEightShort;
        info.groups = 1;
        info.group_len = {1};
        if (info.short_window) {
            info.max_sfb = bits_.read(4);
            const uint32_t grouping = bits_.read(7);  // bit 6 - w: window w + 1 joins window w's group
            for (int w = 6; w >= 0; --w) {
                if ((grouping >> w) & 1u)
                    ++info.group_len[info.groups - 1];
                else
                    info.group_len[info.groups++] = 1;
            }
        } else {
            info.max_sfb = bits_.read(6);
            if (bits_.read(1)) return fail("the stream uses prediction, which AAC-LC does not have");
        }
        info.bands = aac::band_offsets(sampling_index_, info.short_window, frame_960_);
        if (info.max_sfb + 1 > info.bands.size())
            return fail("a channel stream has more scale factor bands than its window (damaged)");
        if (counts_) counts_->short_windows += info.short_window;
        return true;
    }

    bool channel_pair(size_t end, size_t& second) {
        bits_.skip(4);  // element_instance_tag
        IcsInfo shared;
        const bool common_window = bits_.read(1);
        if (common_window) {
            if (!ics_info(shared)) return false;
            const int ms_mask_present = static_cast<int>(bits_.read(2));
            if (ms_mask_present == 3) return fail("a channel pair has a reserved M/S mask (damaged)");
            if (ms_mask_present == 1) {
                for (size_t band = 0; band < shared.groups * shared.max_sfb; ++band) {
                    const bool used = bits_.read(1);  // ms_used
                    if (counts_) counts_->ms_bands += used;
                }
            } else if (ms_mask_present == 2 && counts_) {
                counts_->ms_bands += static_cast<int>(shared.groups * shared.max_sfb);
            }
        }
        if (counts_ && common_window) counts_->short_windows += shared.short_window;  // the second stream's
        if (!channel_stream(common_window ? &shared : nullptr, end)) return false;
        second = bits_.position();
        return channel_stream(common_window ? &shared : nullptr, end);
    }

    int scalefactor_delta() {
        const HuffTable::Entry* e = books().scalefactor.decode(bits_);
        return e ? static_cast<int>(e->value) - 60 : 0;  // every codeword of the complete book decodes
    }

    // individual_channel_stream(): its global gain, the range of the scale
    // factors and noise energies counted from it, and the rest skipped.
    bool channel_stream(const IcsInfo* shared, size_t end) {
        const size_t gain_at = bits_.position();
        const int global_gain = static_cast<int>(bits_.read(8));
        IcsInfo own;
        if (!shared && !ics_info(own)) return false;
        const IcsInfo& info = shared ? *shared : own;

        BandBooks book{};
        bool sound = false;  // a band whose level counts from global_gain
        if (!section_data(info, end, book, sound)) return false;

        // scale_factor_data(): spectral scale factors from global_gain, noise
        // energies from global_gain - 90, intensity positions from 0.
        int scale = global_gain;
        int noise = global_gain - kNoiseOffset;
        bool noise_coded = false;
        int scale_low = global_gain, scale_high = global_gain;
        int noise_low = 0, noise_high = 0;
        int coded_bands = 0;
        for (size_t g = 0; g < info.groups; ++g)
            for (size_t sfb = 0; sfb < info.max_sfb; ++sfb) {
                const int cb = book[g][sfb];
                if (cb == kZeroBook) continue;
                ++coded_bands;
                if (cb == kIntensityBook || cb == kIntensityBook2) {
                    scalefactor_delta();
                    if (counts_) ++counts_->intensity_bands;
                } else if (cb == kNoiseBook) {
                    if (!noise_coded) {
                        noise += static_cast<int>(bits_.read(9)) - 256;  // dpcm_noise_nrg
                        noise_low = noise_high = noise;
                        noise_coded = true;
                    } else {
                        noise += scalefactor_delta();
                    }
                    noise_low = std::min(noise_low, noise);
                    noise_high = std::max(noise_high, noise);
                    if (counts_) ++counts_->noise_bands;
                } else {
                    scale += scalefactor_delta();
                    if (scale < kMinScale || scale > kMaxScale) return fail("a scale factor is out of range (damaged)");
                    scale_low = std::min(scale_low, scale);
                    scale_high = std::max(scale_high, scale);
                }
            }

        if (bits_.read(1)) {  // pulse_data()
            if (info.short_window) return fail("a channel stream of short windows has pulse data (damaged)");
            const size_t pulses = bits_.read(2) + 1;
            bits_.skip(6 + pulses * (5 + 4));  // pulse_start_sfb, then offset and amplitude of each
            if (counts_) ++counts_->pulses;
        }
        if (bits_.read(1)) {  // tns_data()
            const int windows = info.short_window ? 8 : 1;
            for (int w = 0; w < windows; ++w) {
                const uint32_t filters = bits_.read(info.short_window ? 1 : 2);
                if (!filters) continue;
                const uint32_t coef_res = bits_.read(1);
                for (uint32_t f = 0; f < filters; ++f) {
                    bits_.skip(info.short_window ? 4 : 6);  // length
                    const uint32_t order = bits_.read(info.short_window ? 3 : 5);
                    if (!order) continue;
                    bits_.skip(1);  // direction
                    const uint32_t compress = bits_.read(1);
                    bits_.skip(size_t{order} * (3 + coef_res - compress));
                }
            }
            if (counts_) ++counts_->tns;
        }
        if (bits_.read(1)) return fail("the stream has gain control data, which AAC-LC does not have");
        if (!spectral_data(info, book, end)) return false;
        if (bits_.overrun(end)) return truncated();

        if (counts_) {
            ++counts_->channel_streams;
            counts_->silent_streams += coded_bands == 0;
        }
        // With only zero and intensity bands (whose levels follow the other
        // channel's) nothing here counts from the gain: it stays.
        if (!sound) return true;
        GainRoom room{std::min(global_gain, scale_low) - kMinScale, kMaxScale - std::max(global_gain, scale_high)};
        if (noise_coded) {
            // Noise already outside its range may still move back towards it.
            room.down = std::min(room.down, std::max(0, noise_low - kMinNoise));
            room.up = std::min(room.up, std::max(0, kMaxNoise - noise_high));
        }
        room_.narrow(room);
        if (gain_count_ == gains_.size()) return fail("the packet has more channels than this editor takes");
        gains_[gain_count_++] = {gain_at, global_gain};
        return true;
    }

    // section_data(): runs of bands sharing a codebook, per window group.
    bool section_data(const IcsInfo& info, size_t end, BandBooks& book, bool& sound) {
        const int len_bits = info.short_window ? 3 : 5;
        const uint32_t len_esc = (1u << len_bits) - 1;
        for (size_t g = 0; g < info.groups; ++g) {
            size_t k = 0;
            while (k < info.max_sfb) {
                if (bits_.overrun(end)) return truncated();
                const uint32_t cb = bits_.read(4);
                if (cb == kReservedBook) return fail("a channel stream uses the reserved codebook 12 (damaged)");
                size_t length = 0;
                uint32_t step = 0;
                do {
                    step = bits_.read(len_bits);
                    length += step;
                } while (step == len_esc && !bits_.overrun(end));
                if (k + length > info.max_sfb) return fail("a section runs past the last scale factor band (damaged)");
                std::fill_n(book[g].begin() + static_cast<ptrdiff_t>(k), length, static_cast<uint8_t>(cb));
                if (length && cb != kZeroBook && cb != kIntensityBook && cb != kIntensityBook2) sound = true;
                k += length;
            }
        }
        return true;
    }

    // spectral_data(): every codeword read past, with its sign bits and escapes.
    bool spectral_data(const IcsInfo& info, const BandBooks& book, size_t end) {
        const Books& all = books();
        for (size_t g = 0; g < info.groups; ++g)
            for (size_t sfb = 0; sfb < info.max_sfb; ++sfb) {
                const int cb = book[g][sfb];
                if (cb == kZeroBook || cb > kEscBook) continue;
                const size_t values = (size_t{info.bands[sfb + 1]} - info.bands[sfb]) * info.group_len[g];
                const size_t codewords = values / (cb <= 4 ? 4 : 2);
                const HuffTable& table = all.spectral[static_cast<size_t>(cb)];
                for (size_t i = 0; i < codewords; ++i) {
                    const HuffTable::Entry* e = table.decode(bits_);
                    if (!e) return fail("a spectral codeword is not in its book (damaged)");
                    bits_.skip(e->extra & HuffTable::kSignMask);
                    if ((e->extra & HuffTable::kEscY) && !escape()) return false;
                    if ((e->extra & HuffTable::kEscZ) && !escape()) return false;
                }
                if (bits_.overrun(end)) return truncated();
            }
        return true;
    }

    // escape_sequence(): N ones, a zero, then N + 4 bits; N is at most 8.
    bool escape() {
        const uint32_t head = bits_.peek(9);
        int ones = 0;
        while (ones < 9 && ((head >> (8 - ones)) & 1u)) ++ones;
        if (ones == 9) return fail("a spectral escape is too long (damaged)");
        bits_.skip(static_cast<size_t>(ones) + 1 + static_cast<size_t>(ones) + 4);
        if (counts_) ++counts_->escapes;
        return true;
    }

    const AacConfig& config_;
    std::span<const uint8_t> data_;
    Bits bits_;
    aac::ToolCounts* counts_;
    int sampling_index_ = 0;
    bool frame_960_ = false;
    bool protect_ = false;  // the frame being walked carries a CRC
    std::string why_;
    GainRoom room_;
    std::array<Gain, 128> gains_{};
    size_t gain_count_ = 0;
    std::vector<ProtectedFrame> protected_;
    std::vector<Region> regions_;
};

}  // namespace

bool aac_config(std::span<const uint8_t> extradata, AacConfig& config, std::string& why) {
    config = {};
    if (extradata.empty()) {
        config.adts = true;
        return true;
    }
    BitReader r(extradata);
    auto object_type = [&r] {
        const int type = static_cast<int>(r.read(5));
        return type == 31 ? 32 + static_cast<int>(r.read(6)) : type;
    };
    const int type = object_type();
    int index = static_cast<int>(r.read(4));
    if (index == 15) {
        // An explicit frequency uses the band tables of the nearest index.
        const uint32_t rate = r.read(24);
        static constexpr std::array<uint32_t, 11> kAtLeast = {92017, 75132, 55426, 46009, 37566, 27713,
                                                              23004, 18783, 13856, 11502, 9391};
        index = 11;
        for (size_t i = 0; i < kAtLeast.size(); ++i)
            if (rate >= kAtLeast[i]) {
                index = static_cast<int>(i);
                break;
            }
    }
    const int channels = static_cast<int>(r.read(4));
    if (r.failed()) {
        why = "the AAC configuration is cut short";
        return false;
    }
    if (type == 5 || type == 29) {
        why = "the stream is HE-AAC (SBR), which is not changed losslessly";
        return false;
    }
    if (type != 2) {
        why = type == 1   ? "the stream is AAC Main, not AAC-LC"
              : type == 3 ? "the stream is AAC SSR, not AAC-LC"
              : type == 4 ? "the stream is AAC LTP, not AAC-LC"
                          : "the stream is of MPEG-4 audio object type " + std::to_string(type) + ", not AAC-LC";
        return false;
    }
    if (index > 12) {
        why = "the AAC configuration has a reserved sampling frequency index";
        return false;
    }
    if (channels == 0) {
        why = "the AAC configuration gives its channels in a program config element";
        return false;
    }
    // GASpecificConfig()
    const bool frame_960 = r.read(1);
    if (r.read(1)) r.skip(14);  // dependsOnCoreCoder: coreCoderDelay
    if (r.read(1)) r.skip(1);   // extensionFlag: extensionFlag3
    if (r.failed()) {
        why = "the AAC configuration is cut short";
        return false;
    }
    // Explicit SBR signalling after it: sync extension 0x2b7, type 5, sbrPresentFlag.
    if (r.bits_left() >= 16 && r.read(11) == 0x2b7 && object_type() == 5 && r.read(1) == 1 && !r.failed()) {
        why = "the stream is HE-AAC (SBR), which is not changed losslessly";
        return false;
    }
    config.object_type = type;
    config.sampling_index = index;
    config.channel_config = channels;
    config.frame_length_960 = frame_960;
    return true;
}

bool aac_survey(const AacConfig& config, std::span<const uint8_t> packet, GainRoom& room, std::string& why) {
    Walk walk(config, packet, nullptr);
    if (!walk.run()) {
        why = walk.why();
        return false;
    }
    room.narrow(walk.room());
    return true;
}

bool aac_apply(const AacConfig& config, std::span<uint8_t> packet, int steps, std::string& why) {
    Walk walk(config, packet, nullptr);
    if (!walk.run()) {
        why = walk.why();
        return false;
    }
    if (!walk.room().allows(steps)) {
        why = "a move of " + std::to_string(steps) +
              " steps takes a scale factor out of its range (room: " + std::to_string(walk.room().down) + " down, " +
              std::to_string(walk.room().up) + " up)";
        return false;
    }
    if (steps == 0) return true;
    for (const Walk::Gain& g : walk.gains()) write_bits(packet, g.at, 8, static_cast<uint32_t>(g.value + steps));
    for (const Walk::ProtectedFrame& f : walk.protected_frames()) {
        uint16_t crc = 0xffff;
        for (const Walk::Region& r : walk.regions(f)) crc = crc16(packet, r.from, r.bits, r.padded, crc);
        write_bits(packet, f.crc_at, 16, crc);
    }
    return true;
}

namespace aac {

bool count_tools(const AacConfig& config, std::span<const uint8_t> packet, ToolCounts& counts, std::string& why) {
    Walk walk(config, packet, &counts);
    if (!walk.run()) {
        why = walk.why();
        return false;
    }
    return true;
}

}  // namespace aac
}  // namespace sonorix::lossless
