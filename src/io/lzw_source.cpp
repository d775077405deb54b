// Unix compress (.Z) decoder: LZW with codes of 9 up to 9..16 bits, packed
// least significant bit first, in block mode (code 256 clears the table) or
// not.
//
// The writer emits codes in groups of `width` bytes (eight codes); when the
// width grows or the table is cleared it pads to the end of the current
// group, and a reader must skip that padding. A group is counted from the
// point where the current width began, which is always byte-aligned.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "io/byte_source.hpp"

namespace skarvo::io {
namespace {

using util::GnssError;
using util::Result;

constexpr unsigned first_width = 9;
constexpr unsigned clear_code = 256;
constexpr std::size_t input_size = 64 * 1024;
constexpr std::size_t table_size = 1u << 16;

class LzwSource final : public ByteSource {
public:
    explicit LzwSource(std::unique_ptr<ByteSource> in)
        : in_(std::move(in)), buf_(new unsigned char[input_size]), prefix_(table_size), suffix_(table_size),
          length_(table_size), pending_(table_size) {}

    Result<std::size_t> read(char* dst, std::size_t cap) override {
        if (failed_) return error(failed_text_);
        if (!started_) {
            if (auto st = start(); !st) return fail(st.error().text());
            started_ = true;
        }
        std::size_t out = 0;
        // The rest of a string that did not fit the last time.
        if (pending_pos_ < pending_len_) {
            const std::size_t n = std::min(cap, pending_len_ - pending_pos_);
            std::memcpy(dst, pending_.data() + pending_pos_, n);
            pending_pos_ += n;
            out += n;
        }
        while (out < cap && !done_) {
            if (free_ent_ > max_code_) {
                // The table outgrew the width: skip the rest of the group, widen.
                if (auto st = skip_to_group_end(); !st) return stop(out, st.error().text());
                ++width_;
                max_code_ = width_ == max_width_ ? (1u << max_width_) : (1u << width_) - 1;
                seg_bits_ = 0;
            }
            unsigned code;
            auto got = next_code(code);
            if (!got) return stop(out, got.error().text());
            if (!*got) {
                done_ = true;
                break;
            }
            if (old_code_ < 0) {
                if (code >= 256) return stop(out, corrupt("the first code is not a literal"));
                final_char_ = static_cast<unsigned char>(code);
                old_code_ = static_cast<int>(code);
                dst[out++] = static_cast<char>(code);
                continue;
            }
            if (code == clear_code && block_mode_) {
                free_ent_ = clear_code;  // the next code adds an entry at 256 that is never used
                if (auto st = skip_to_group_end(); !st) return stop(out, st.error().text());
                width_ = first_width;
                max_code_ = (1u << width_) - 1;
                seg_bits_ = 0;
                continue;
            }
            const unsigned in_code = code;
            std::size_t len;
            bool repeat_first = false;
            if (code >= free_ent_) {
                // The string being defined: the previous one plus its own first byte.
                if (code > free_ent_) return stop(out, corrupt("a code refers past the table"));
                code = static_cast<unsigned>(old_code_);
                repeat_first = true;
            }
            len = length_[code] + (repeat_first ? 1 : 0);
            char* target;
            const bool direct = len <= cap - out;
            target = direct ? dst + out : reinterpret_cast<char*>(pending_.data());
            // Write the string backwards by walking its prefixes.
            std::size_t pos = len;
            if (repeat_first) target[--pos] = static_cast<char>(final_char_);
            while (code >= 256) {
                target[--pos] = static_cast<char>(suffix_[code]);
                code = prefix_[code];
            }
            target[--pos] = static_cast<char>(code);
            final_char_ = static_cast<unsigned char>(code);
            if (direct) {
                out += len;
            } else {
                const std::size_t n = cap - out;
                std::memcpy(dst + out, pending_.data(), n);
                out += n;
                pending_pos_ = n;
                pending_len_ = len;
            }
            if (free_ent_ < max_entries_) {
                prefix_[free_ent_] = static_cast<std::uint16_t>(old_code_);
                suffix_[free_ent_] = final_char_;
                length_[free_ent_] = static_cast<std::uint32_t>(length_[static_cast<unsigned>(old_code_)] + 1);
                ++free_ent_;
            }
            old_code_ = static_cast<int>(in_code);
        }
        return out;
    }

private:
    static std::string corrupt(const char* why) { return std::string("corrupt compress (.Z) data: ") + why; }
    static GnssError error(const std::string& text) { return GnssError::io(text); }
    // Ends the stream with an error; the bytes decoded before it go out
    // first, the error with the next read.
    Result<std::size_t> stop(std::size_t out, std::string text) {
        failed_ = true;
        failed_text_ = std::move(text);
        if (out > 0) return out;
        return error(failed_text_);
    }
    GnssError fail(std::string text) {
        failed_ = true;
        failed_text_ = std::move(text);
        return error(failed_text_);
    }

    // Tops up the input buffer; false at the end of the input.
    Result<bool> refill() {
        if (in_done_) return false;
        if (pos_ < len_) {
            std::memmove(buf_.get(), buf_.get() + pos_, len_ - pos_);
            len_ -= pos_;
        } else {
            len_ = 0;
        }
        pos_ = 0;
        while (len_ < input_size) {
            auto n = in_->read(reinterpret_cast<char*>(buf_.get()) + len_, input_size - len_);
            if (!n) return std::move(n).error();
            if (*n == 0) {
                in_done_ = true;
                break;
            }
            len_ += *n;
        }
        return true;
    }

    util::Status start() {
        while (len_ - pos_ < 3 && !in_done_) {
            auto r = refill();
            if (!r) return std::move(r).error();
        }
        if (len_ - pos_ < 3) return GnssError::io("truncated compress (.Z) header");
        if (buf_[pos_] != 0x1f || buf_[pos_ + 1] != 0x9d) return GnssError::io("not compress (.Z) data");
        const unsigned flags = buf_[pos_ + 2];
        pos_ += 3;
        max_width_ = flags & 0x1f;
        block_mode_ = (flags & 0x80) != 0;
        if (max_width_ < first_width || max_width_ > 16)
            return GnssError::io("compress (.Z) data with " + std::to_string(max_width_) +
                                 "-bit codes (only 9 to 16 are defined)");
        max_entries_ = 1u << max_width_;
        width_ = first_width;
        max_code_ = width_ == max_width_ ? max_entries_ : (1u << width_) - 1;
        free_ent_ = block_mode_ ? 257 : 256;
        for (unsigned c = 0; c < 256; ++c) {
            suffix_[c] = static_cast<unsigned char>(c);
            length_[c] = 1;
        }
        return util::ok_status();
    }

    // Makes `bits` (<= 57) available in the bit buffer, or as many as the
    // input still has.
    util::Status want_bits(unsigned bits) {
        while (nbits_ < bits) {
            if (pos_ == len_) {
                auto r = refill();
                if (!r) return std::move(r).error();
                if (pos_ == len_) return util::ok_status();
            }
            bitbuf_ |= std::uint64_t{buf_[pos_++]} << nbits_;
            nbits_ += 8;
        }
        return util::ok_status();
    }

    // The next code; false at the end of the data.
    Result<bool> next_code(unsigned& code) {
        if (nbits_ < width_) {
            if (auto st = want_bits(width_); !st) return std::move(st).error();
            if (nbits_ < width_) {
                // Fewer bits than a code: the writer's final padding, unless
                // a whole byte or more is left over (the stream was cut).
                if (nbits_ >= 8) return GnssError::io(corrupt("the stream ends inside a code (truncated file)"));
                return false;
            }
        }
        code = static_cast<unsigned>(bitbuf_ & ((1u << width_) - 1));
        bitbuf_ >>= width_;
        nbits_ -= width_;
        seg_bits_ += width_;
        return true;
    }

    // Skips the padding up to the end of the current group of `width_` bytes.
    util::Status skip_to_group_end() {
        const std::uint64_t group = std::uint64_t{width_} * 8;
        std::uint64_t skip = (group - seg_bits_ % group) % group;
        while (skip > 0) {
            const unsigned step = static_cast<unsigned>(std::min<std::uint64_t>(skip, 32));
            if (auto st = want_bits(step); !st) return st;
            const unsigned n = std::min(step, nbits_);
            if (n == 0) break;  // the input ended inside the padding
            bitbuf_ = n == 64 ? 0 : bitbuf_ >> n;
            nbits_ -= n;
            skip -= n;
        }
        return util::ok_status();
    }

    std::unique_ptr<ByteSource> in_;
    std::unique_ptr<unsigned char[]> buf_;
    std::size_t pos_ = 0, len_ = 0;
    bool in_done_ = false;
    std::uint64_t bitbuf_ = 0;
    unsigned nbits_ = 0;
    std::uint64_t seg_bits_ = 0;  // bits read since the current width began

    std::vector<std::uint16_t> prefix_;
    std::vector<unsigned char> suffix_;
    std::vector<std::uint32_t> length_;
    std::vector<unsigned char> pending_;
    std::size_t pending_pos_ = 0, pending_len_ = 0;

    unsigned max_width_ = 16, width_ = first_width, max_code_ = 0, max_entries_ = 0, free_ent_ = 0;
    int old_code_ = -1;
    unsigned char final_char_ = 0;
    bool block_mode_ = true;
    bool started_ = false, done_ = false, failed_ = false;
    std::string failed_text_;
};

}  // namespace

std::unique_ptr<ByteSource> make_lzw_source(std::unique_ptr<ByteSource> compressed) {
    return std::make_unique<LzwSource>(std::move(compressed));
}

}  // namespace skarvo::io
