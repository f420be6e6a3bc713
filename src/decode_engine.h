#pragma once

// The engine under the three decoders, included by decompress.cpp alone: a lookup table in
// front of each decoder's own step, a loop that only decodes rounds of lookups, and a driver
// that runs a second cursor ahead of the first.

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>

#include "bytes.h"
#include "common.h"
#include "compress.h"
#include "interrupt.h"
#include "progress.h"
#include "resources.h"

// The loop is inlined into each decoder's driver: called, it costs method 2 a tenth of its
// speed.
#if defined(__GNUC__)
#define DECODE_LOOP_INLINE [[gnu::always_inline]] inline
#elif defined(_MSC_VER)
#define DECODE_LOOP_INLINE __forceinline
#else
#define DECODE_LOOP_INLINE inline
#endif

// Unrolled, the lookups of a round form one straight chain per cursor; GCC does not always
// see that by itself.
#if defined(__GNUC__)
#define DECODE_LOOP_UNROLL_ROUND _Pragma("GCC unroll 4")
#else
#define DECODE_LOOP_UNROLL_ROUND
#endif

namespace {

// ---- The lookup front end --------------------------------------------------------------------
//
// Each decoder is defined by what it does at one bit position: its step. Wherever the next
// FAST_BITS bits alone settle that the step emits a byte whose code has at most FAST_BITS
// bits, a table indexed by those bits answers at once. Everything else (longer codes, bits
// that fit no code, the last bits of the data) still goes through the step, so the bytes, the
// counts and the positions are exactly the step's.

constexpr unsigned FAST_BITS = 12;
constexpr size_t FAST_ENTRIES = size_t{1} << FAST_BITS;

// The step's answer for the FAST_BITS bits at a position.
struct FastEntry {
    unsigned char len = 0;  // bits of the code; 0 leaves the position to the step
    unsigned char byte = 0;
};
using FastTable = std::array<FastEntry, FAST_ENTRIES>;

// What one lookup decodes: the first code, and the next one too where the bits left after
// the first settle it, which halves the lookups on typical data. The two bytes come first so
// that they are stored together.
struct FastPair {
    unsigned char byte = 0;
    unsigned char second_byte = 0;
    unsigned char total_len = 0;  // 0 leaves the position to the step
    unsigned char first_len = 0;  // total_len when there is no second code
};
using FastPairTable = std::array<FastPair, FAST_ENTRIES>;
static_assert(sizeof(FastPair) == 4 && std::is_trivially_copyable_v<FastPair> &&
                  offsetof(FastPair, second_byte) == offsetof(FastPair, byte) + 1,
              "a round stores a pair's two bytes with one 2-byte copy from its start");

inline void pair_up(const FastTable& fast, FastPairTable* pairs) {
    // settled[(1 << k) + r] is the entry that every window beginning with the k bits r gets,
    // when they all get the same one and its code fits in those k bits; len 0 otherwise.
    // Level FAST_BITS is the table itself; each level above agrees where its halves agree.
    std::array<FastEntry, 2 * FAST_ENTRIES> settled{};
    std::copy(fast.begin(), fast.end(), settled.begin() + FAST_ENTRIES);
    for (size_t node = FAST_ENTRIES - 1; node >= 1; --node) {
        const FastEntry& zero = settled[2 * node];
        const FastEntry& one = settled[2 * node + 1];
        auto depth = static_cast<unsigned>(std::bit_width(node) - 1);
        if (zero.len != 0 && zero.len <= depth && zero.len == one.len && zero.byte == one.byte)
            settled[node] = zero;
    }
    for (size_t prefix = 0; prefix < FAST_ENTRIES; ++prefix) {
        const FastEntry& first = fast[prefix];
        FastPair& pair = (*pairs)[prefix];
        pair = FastPair{first.byte, 0, first.len, first.len};
        unsigned rest = FAST_BITS - first.len;
        if (first.len == 0 || rest == 0)
            continue;
        const size_t rest_mask = (size_t{1} << rest) - 1;
        const FastEntry& second = settled[(size_t{1} << rest) + (prefix & rest_mask)];
        if (second.len != 0) {
            pair.second_byte = second.byte;
            pair.total_len = static_cast<unsigned char>(first.len + second.len);
        }
    }
}

// What a step does at one position.
struct Step {
    enum Kind { EMIT, SKIP, STOP };
    Kind kind = STOP;
    unsigned char byte = 0;  // for EMIT
    size_t bits = 0;         // consumed by EMIT or SKIP
};

struct DecodeRun {
    size_t bytes_written = 0;
    size_t last_step_start = 0;  // where the last step (fast or not) began
    size_t end = 0;              // where the step after the last would begin
};

// The hash of the restored file, taken while the decoder runs: it is a chain of one multiply
// per byte, which runs beside the decoding's chains instead of after them.
struct RestoreHash {
    EncryptMethod method = ENCRYPT_METHOD_OFFSET;
    uint64_t hash = FNV_OFFSET;
    size_t hashed = 0;  // bytes of the output taken in so far
};

constexpr uint64_t EVERY_BYTE = 0x0101010101010101ULL;

// Eight decoded bytes as restored: the transform reversed in each byte at once.
inline uint64_t restore_eight(uint64_t bytes, EncryptMethod method) {
    if (method == ENCRYPT_METHOD_XOR)
        return bytes ^ (KEY_BYTE * EVERY_BYTE);
    if (method != ENCRYPT_METHOD_OFFSET)
        return bytes;
    // Subtracts the key from each byte: setting each top bit first keeps a borrow from
    // crossing into the next byte, and the last XOR puts the top bits right.
    constexpr uint64_t TOP_BITS = 0x80 * EVERY_BYTE;
    return ((bytes | TOP_BITS) - KEY_BYTE * EVERY_BYTE) ^ (~bytes & TOP_BITS);
}

// The first `count` of the eight bytes, lowest first, taken into the hash.
inline uint64_t hash_bytes(uint64_t hash, uint64_t restored, unsigned count) {
    for (unsigned k = 0; k < count; ++k) {
        hash = fnv1a_step(hash, static_cast<unsigned char>(restored >> (8 * k)));
    }
    return hash;
}

// Takes the output's bytes up to `end` into the hash.
inline void hash_restored(RestoreHash* restore, const unsigned char* out, size_t end) {
    uint64_t hash = restore->hash;
    size_t i = restore->hashed;
    for (; i + 8 <= end; i += 8)
        hash = hash_bytes(hash, restore_eight(load_le64(out + i), restore->method), 8);
    for (; i < end; ++i) {
        unsigned char byte = out[i];
        reverse_transform(&byte, 1, restore->method);
        hash = fnv1a_step(hash, byte);
    }
    restore->hash = hash;
    restore->hashed = i;
}

// ---- The loop that only decodes ---------------------------------------------------------------

// In a round every cursor makes ROUND_PAIRS lookups from one refill of its bit buffer, which
// counts at least 56 bits after a refill, but after the first load only 56 less the position's
// offset in its byte, so at least 49. A round stores at most ROUND_BYTES bytes and reads
// ROUND_BITS bits, and its loads reach at most 127 bits past its start.
constexpr unsigned ROUND_PAIRS = 4;
constexpr size_t ROUND_BITS = ROUND_PAIRS * FAST_BITS;
constexpr size_t ROUND_BYTES = 2 * ROUND_PAIRS;
constexpr size_t ROUND_READ_BITS = 128;
static_assert(ROUND_BITS <= 56 - 7, "a round must fit in the bits the first load counts");
static_assert(ROUND_PAIRS == 4, "the loop that makes them is unrolled by 4");

// N cursors inside the loop: each bit buffer holds `count` bits from the cursor's position on,
// and beyond them only zeros or the right bits, so the next refill can OR its bytes in over
// them; `next` is where that refill loads.
template <size_t N>
struct RoundState {
    const unsigned char* next[N];
    uint64_t bits[N];
    unsigned count[N];
    unsigned char* out[N];
    size_t written[N];
};

// Work done beside the loop on the first cursor's bytes, called once before the rounds
// and after each round.
struct NoHash {
    void before(size_t /*written*/, size_t /*rounds*/) {}
    void after_round(size_t /*round*/, const unsigned char* /*out*/) {}
};

// The restored file's hash, following the first cursor's bytes, which are final as it writes
// them: 12 a round while it is behind, then 8 for what is left of the bytes written before
// the rounds, then it waits for the next call. Rounds counted in advance keep its branches
// predictable, where a test of the bytes at hand would go either way at random; more than 12 a
// round makes its chain longer than the decoding's, and the loop slows down. A round can
// restore up to 16 bytes, so on data that codes short some are left for after the decoding.
class FollowHash {
  public:
    // The hash stays this far behind the newest bytes: reading bytes just stored stalls.
    static constexpr size_t LAG = 64;

    explicit FollowHash(RestoreHash* restore)
        : restore_(restore), hash_(restore->hash), hashed_(restore->hashed) {}
    FollowHash(const FollowHash&) = delete;
    FollowHash& operator=(const FollowHash&) = delete;
    ~FollowHash() {
        restore_->hash = hash_;
        restore_->hashed = hashed_;
    }

    void before(size_t written, size_t rounds) {
        const size_t ready = written - std::min(written, hashed_ + LAG);
        behind_rounds_ = std::min(rounds, ready / 12);
        hash_rounds_ =
            behind_rounds_ + std::min(rounds - behind_rounds_, (ready - 12 * behind_rounds_) / 8);
    }

    void after_round(size_t round, const unsigned char* out) {
        if (round >= hash_rounds_)
            return;
        hash_ = hash_bytes(hash_, restore_eight(load_le64(out + hashed_), restore_->method), 8);
        hashed_ += 8;
        if (round < behind_rounds_) {
            hash_ = hash_bytes(hash_, restore_eight(load_le64(out + hashed_), restore_->method), 4);
            hashed_ += 4;
        }
    }

  private:
    RestoreHash* restore_;
    uint64_t hash_;
    size_t hashed_;
    size_t behind_rounds_ = 0;
    size_t hash_rounds_ = 0;
};

// Up to `rounds` rounds of the N cursors in `state`, ending early where a cursor's next lookup
// is left to the step. The caller has checked that every cursor can make all of them: their
// loads stay inside the data and their stores inside their room.
template <size_t N, typename HashPolicy>
DECODE_LOOP_INLINE void decode_rounds(const FastPairTable& pairs, RoundState<N>* state,
                                      size_t rounds, HashPolicy& hash) {
    // A copy whose address is never taken: the stores through `out` cannot reach it, so it
    // stays in registers.
    RoundState<N> s = *state;
    hash.before(s.written[0], rounds);
    for (size_t r = 0; r < rounds; ++r) {
        FastPair entry[N];
        bool left_to_step = false;
        for (size_t i = 0; i < N; ++i) {
            entry[i] = pairs[s.bits[i] >> (64 - FAST_BITS)];
            left_to_step = left_to_step || entry[i].total_len == 0;
        }
        if (left_to_step)
            break;
        DECODE_LOOP_UNROLL_ROUND
        for (unsigned k = 0; k < ROUND_PAIRS; ++k) {
            for (size_t i = 0; i < N; ++i) {
                if (k != 0)
                    entry[i] = pairs[s.bits[i] >> (64 - FAST_BITS)];
                // An entry left to the step stores two stray bytes and moves nothing: the
                // cursor stays put until the round ends.
                std::memcpy(s.out[i] + s.written[i], &entry[i], 2);
                s.written[i] +=
                    (entry[i].total_len != 0) + (entry[i].total_len != entry[i].first_len);
                s.bits[i] <<= entry[i].total_len;
                s.count[i] -= entry[i].total_len;
            }
        }
        for (size_t i = 0; i < N; ++i) {
            s.bits[i] |= load_be64(s.next[i]) >> s.count[i];
            s.next[i] += (63 - s.count[i]) / 8;
            s.count[i] |= 56;
        }
        hash.after_round(r, s.out[0]);
    }
    *state = s;
}

// ---- The driver: one cursor, or two from two places at once --------------------------------
//
// A table lookup waits for the one before it: where the next code begins is known only once
// the code before it is. One cursor therefore leaves most of the processor idle, so a second
// one, the lead, starts a stretch further on, writing aside, and the two advance in one loop.
// A step is a pure function of its position, and codes mostly fall into step soon after any
// bit: once the trailing cursor reaches a position where the lead took a step, everything
// after is what the lead did, so the lead's bytes from there on are copied after the trailing
// cursor's, and the lead goes on as the trailing cursor with a new lead a stretch ahead. The
// restored file's hash follows the trailing cursor's bytes, which are final, in the same loop,
// as far as the decoding leaves it time; what it has not reached is hashed after the decoding.
// A lead that does not fit (its codes never meet the trailing ones, its bytes would reach the
// end of the output) is dropped and the trailing cursor goes on over its stretch, so the
// bytes, their count and the last step's position are always those of one cursor from bit 0.

// One cursor: where its bytes go and where its next step begins.
struct Cursor {
    unsigned char* out = nullptr;
    size_t room = 0;  // it never writes out[room] or past
    size_t written = 0;
    size_t pos = 0;
    size_t last_step_start = 0;  // up to date after every step taken one at a time
    bool stopped = false;        // the step at pos stopped

    bool can_go_on() const { return !stopped && written < room; }
};

// Rounds between two looks at the progress.
constexpr size_t CHUNK_ROUNDS = 4096;

// Below this output size one cursor does all; so it does where the output is larger than the
// data has bits, which only a damaged table states.
constexpr size_t SPLIT_MIN_BYTES = size_t{1} << 16;
// What a lead is meant to write: small enough that its bytes are still in the cache when they
// are copied after the trailing cursor's, large enough that starting it costs little beside
// its work.
constexpr size_t STAGE_BYTES = size_t{64} << 10;
// Where the lead writes; a lead that fills it waits for the trailing cursor.
constexpr size_t LEAD_ROOM = 4 * STAGE_BYTES;
// No lead starts less than this many bits ahead of the trailing cursor.
constexpr size_t STAGE_MIN_BITS = 4096;
// The lead's first steps, whose positions are noted for the trailing cursor to meet: most
// codes fall into step within a few dozen bits, some take thousands.
constexpr size_t RECORDED_STEPS = 1024;
// No step takes more than this many bits.
constexpr size_t STEP_MAX_BITS = 256;
static_assert(RECORDED_STEPS * STEP_MAX_BITS <= UINT32_MAX && LEAD_ROOM <= UINT32_MAX,
              "a record holds its offsets in 32 bits");

template <typename StepFn>
class Decoder {
  public:
    Decoder(const unsigned char* data, size_t size, const FastTable& fast, ProgressSink* progress,
            StepFn& step, RestoreHash* restore)
        : data_(data),
          total_bits_(8 * size),
          fast_end_(size >= 8 ? 8 * (size - 7) : 0),
          round_end_(8 * size > ROUND_READ_BITS ? 8 * size - ROUND_READ_BITS : 0),
          progress_(progress),
          step_(step),
          restore_(restore) {
        pair_up(fast, &pairs_);
    }

    // Decodes into `out` until original_size bytes are there or the step stops; with a lead
    // cursor where the output is large enough for one to pay.
    DecodeRun run(unsigned char* out, size_t original_size, bool lead_cursor) {
        if (progress_ != nullptr)
            progress_->start("解码", original_size);
        out_ = out;
        Cursor trailing{out, original_size};
        if (lead_cursor && original_size >= SPLIT_MIN_BYTES && original_size <= total_bits_) {
            lead_out_ = try_alloc_uninit<unsigned char>(LEAD_ROOM);
            records_ = try_alloc_uninit<Record>(RECORDED_STEPS);
            if (lead_out_ && records_) {
                while (trailing.can_go_on()) {
                    const size_t split = next_split(trailing, original_size);
                    if (split == 0)
                        break;
                    trailing = run_stage(trailing, split);
                }
            }
        }
        if (!trailing.stopped)
            run_alone(&trailing, total_bits_);
        return DecodeRun{trailing.written, trailing.last_step_start, trailing.pos};
    }

  private:
    // A step of the lead: its bits past the split and the bytes written before it.
    struct Record {
        uint32_t past_split;
        uint32_t written;
    };
    static constexpr size_t NO_MEETING = SIZE_MAX;

    // Where the next lead starts: about STAGE_BYTES of output ahead at the rate the trailing
    // cursor has decoded so far, and no further than a third of what is left, so that the
    // lead is met before it reaches the end (where its bytes would fill the output); 0 for no
    // lead.
    size_t next_split(const Cursor& trailing, size_t original_size) const {
        const double bytes_per_bit =
            trailing.pos != 0 && trailing.written != 0
                ? static_cast<double>(trailing.written) / static_cast<double>(trailing.pos)
                : static_cast<double>(original_size) / static_cast<double>(total_bits_);
        const size_t left = total_bits_ - trailing.pos;
        const size_t stretch = std::min(
            static_cast<size_t>(static_cast<double>(STAGE_BYTES) / bytes_per_bit), left / 3);
        return stretch < STAGE_MIN_BITS ? 0 : trailing.pos + stretch;
    }

    // The trailing cursor and a lead from `split`, until the trailing cursor meets the lead
    // and the lead's bytes join its own; then the cursor that goes on from there. Where they
    // do not meet, or the lead's bytes would not fit, the trailing cursor where it stands.
    Cursor run_stage(Cursor trailing, size_t split) {
        Cursor lead{lead_out_.get(), LEAD_ROOM};
        lead.pos = split;
        size_t recorded = 0;
        while (recorded < RECORDED_STEPS && lead.can_go_on()) {
            records_[recorded++] = Record{static_cast<uint32_t>(lead.pos - split),
                                          static_cast<uint32_t>(lead.written)};
            step_once(&lead);
        }
        const size_t met = meet(&trailing, &lead, split, recorded);
        if (met == NO_MEETING)
            return trailing;
        // Bytes that would fill the output are not joined: one cursor stops as soon as the
        // output is full, and the lead may have gone on past that point.
        const size_t moved = lead.written - records_[met].written;
        if (moved >= trailing.room - trailing.written)
            return trailing;
        std::memcpy(trailing.out + trailing.written, lead.out + records_[met].written, moved);
        Cursor joined = lead;
        joined.out = trailing.out;
        joined.room = trailing.room;
        joined.written = trailing.written + moved;
        return joined;
    }

    // Runs the trailing cursor to the split, beside the lead while both can, then past it one
    // step at a time until it stands where the lead took a recorded step: that record's index.
    // NO_MEETING where it stops, fills its room or passes every recorded step first.
    size_t meet(Cursor* trailing, Cursor* lead, size_t split, size_t recorded) {
        while (trailing->pos < split) {
            if (!trailing->can_go_on())
                return NO_MEETING;
            if (rounds_left(*trailing, split) != 0) {
                if (lead->can_go_on()) {
                    run_both(trailing, lead, split);
                    continue;
                }
                if (run_rounds(trailing, split))
                    continue;
            }
            step_once(trailing);
        }
        for (size_t next = 0;; step_once(trailing)) {
            if (!trailing->can_go_on())
                return NO_MEETING;
            const size_t past_split = trailing->pos - split;
            while (next < recorded && records_[next].past_split < past_split)
                ++next;
            if (next == recorded)
                return NO_MEETING;
            if (records_[next].past_split == past_split)
                return next;
        }
    }

    // Both cursors in one loop while both can make whole rounds; a cursor that meets a
    // position its table leaves to the step takes that step alone.
    void run_both(Cursor* trailing, Cursor* lead, size_t split) {
        for (;;) {
            while (lead->can_go_on() && rounds_left(*lead, total_bits_) == 0)
                step_once(lead);
            if (!lead->can_go_on() || trailing->stopped || rounds_left(*trailing, split) == 0)
                return;
            const size_t rounds = std::min(
                {rounds_left(*trailing, split), rounds_left(*lead, total_bits_), CHUNK_ROUNDS});
            decode_rounds_of<2>({trailing, lead}, rounds);
            note_progress(trailing->written + lead->written);
            step_if_left(trailing, split);
            step_if_left(lead, total_bits_);
        }
    }

    // The trailing cursor alone until its room is full or its step stops.
    void run_alone(Cursor* c, size_t bit_end) {
        while (c->can_go_on()) {
            if (rounds_left(*c, bit_end) == 0 || !run_rounds(c, bit_end))
                step_once(c);
        }
    }

    // Rounds of the trailing cursor alone; false when its first lookup is left to the step.
    bool run_rounds(Cursor* c, size_t bit_end) {
        const size_t before = c->pos;
        decode_rounds_of<1>({c}, std::min(rounds_left(*c, bit_end), CHUNK_ROUNDS));
        note_progress(c->written);
        return c->pos != before;
    }

    // Takes the step where rounds stopped at a position their table leaves to it.
    void step_if_left(Cursor* c, size_t bit_end) {
        if (c->written < c->room && rounds_left(*c, bit_end) != 0 &&
            pairs_[peek(c->pos)].total_len == 0)
            step_once(c);
    }

    // How many whole rounds the cursor can make: each keeps a byte of room free, so that
    // only a step taken alone fills it, and reads no bit at or past bit_end.
    size_t rounds_left(const Cursor& c, size_t bit_end) const {
        size_t end = std::min(bit_end, round_end_);
        if (c.stopped || c.pos >= end || c.room - c.written <= ROUND_BYTES)
            return 0;
        return std::min((end - c.pos) / ROUND_BITS, (c.room - c.written - 1) / ROUND_BYTES);
    }

    size_t peek(size_t pos) const {
        return static_cast<size_t>((load_be64(data_ + pos / 8) << (pos % 8)) >> (64 - FAST_BITS));
    }

    // One step taken alone: the first code of a table entry, or the step itself.
    void step_once(Cursor* c) {
        c->last_step_start = c->pos;
        if (c->pos < fast_end_) {
            const FastPair& entry = pairs_[peek(c->pos)];
            if (entry.total_len != 0) {
                c->out[c->written++] = entry.byte;
                c->pos += entry.first_len;
                return;
            }
        }
        Step s = step_(c->pos);
        if (s.kind == Step::STOP) {
            c->stopped = true;
            return;
        }
        if (s.kind == Step::EMIT)
            c->out[c->written++] = s.byte;
        c->pos += s.bits;
    }

    // Rounds of N cursors, the trailing one first, whose bytes the hash follows.
    template <size_t N>
    void decode_rounds_of(Cursor* const (&cursors)[N], size_t rounds) {
        assert(cursors[0]->out == out_);  // the hash follows the first cursor's bytes as final
        RoundState<N> s;
        for (size_t i = 0; i < N; ++i) {
            const Cursor& c = *cursors[i];
            assert(c.pos + rounds * ROUND_BITS <= round_end_);
            assert(c.written + rounds * ROUND_BYTES < c.room);
            s.next[i] = data_ + c.pos / 8 + 7;
            s.bits[i] = load_be64(data_ + c.pos / 8) << (c.pos % 8);
            s.count[i] = 56 - static_cast<unsigned>(c.pos % 8);
            s.out[i] = c.out;
            s.written[i] = c.written;
        }
        if (restore_ != nullptr) {
            FollowHash hash(restore_);
            decode_rounds(pairs_, &s, rounds, hash);
        } else {
            NoHash none;
            decode_rounds(pairs_, &s, rounds, none);
        }
        for (size_t i = 0; i < N; ++i) {
            cursors[i]->pos = 8 * static_cast<size_t>(s.next[i] - data_) - s.count[i];
            cursors[i]->written = s.written[i];
        }
    }

    void note_progress(size_t done) {
        check_interrupt();
        if (progress_ != nullptr)
            progress_->update(done);
    }

    const unsigned char* data_;
    size_t total_bits_;
    size_t fast_end_;
    size_t round_end_;
    ProgressSink* progress_;
    StepFn& step_;
    RestoreHash* restore_;
    FastPairTable pairs_;
    unsigned char* out_ = nullptr;  // the output, where the trailing cursor's bytes are final
    std::unique_ptr<unsigned char[]> lead_out_;
    std::unique_ptr<Record[]> records_;
};

// Runs a decoder until original_size bytes are out or its step stops, with a lead cursor
// unless `lead_cursor` is false. With `restore`, the bytes are taken into its hash as far as
// they are final; the caller hashes the rest.
template <typename StepFn>
DecodeRun run_decoder(const unsigned char* data, size_t size, unsigned char* out,
                      size_t original_size, const FastTable& fast, ProgressSink* progress,
                      bool lead_cursor, StepFn&& step, RestoreHash* restore = nullptr) {
    Decoder<std::remove_reference_t<StepFn>> decoder(data, size, fast, progress, step, restore);
    return decoder.run(out, original_size, lead_cursor);
}

}  // namespace
