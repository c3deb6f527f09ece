// The emitter: writes the input out into a Sink with the CRs the scan puts
// in, and keeps how far the input has been copied.
//
// Output goes into room reserved from the sink a large chunk at a time;
// pieces of a block or less are copied with one fixed-width store of 64
// bytes, whatever their length, so room is kept for a whole block's output
// and its stores before each block that writes.  The sink is called once
// per chunk, or per piece long enough to be handed over straight from the
// input, never per line.
#pragma once

#include <cstddef>
#include <cstring>

#include "runtime/block_copy/bits.hpp"
#include "runtime/block_copy/vocabulary.hpp"

namespace tarvel::blockcopy {
namespace {

// Room reserved from the sink: output goes on at `next`, up to `limit`.
// The helpers below take the two pointers one by one and return them by
// value, so that they stay in registers: taken as one struct, the compiler
// packs them into a vector register for every block.
struct OutputRoom {
  char* next;
  char* limit;
};

// Output is reserved at least this much at a time.
constexpr std::size_t kReservation = 32 * 1024;
// The room one block's output needs: a piece of at most 64 bytes from
// earlier blocks, the block with its CRs, and the 64-byte stores of both.
constexpr std::size_t kRoomPerBlock = 4 * kBlock;

OutputRoom reserveRoom(const Sink& sink, std::size_t size) {
  char* const next = sink.reserve(sink.context, size);
  return {next, next + size};
}

// Hands over the output up to `next` and reserves more room.
[[gnu::noinline]] OutputRoom moreRoom(const Sink& sink, char* next) {
  sink.commit(sink.context, next);
  return reserveRoom(sink, kReservation);
}

// Copies a piece longer than a block into the room at next, up to limit.
[[gnu::noinline]] OutputRoom copyLong(const Sink& sink, char* next, char* limit, const char* from,
                                      std::size_t n) {
  if (n >= sink.directWriteSize) {
    sink.commit(sink.context, next);
    sink.write(sink.context, from, n);
    return reserveRoom(sink, kReservation);
  }
  OutputRoom room{next, limit};
  if (static_cast<std::size_t>(limit - next) < n + kRoomPerBlock) {
    sink.commit(sink.context, next);
    room = reserveRoom(sink, n + kRoomPerBlock < kReservation ? kReservation : n + kRoomPerBlock);
  }
  std::memcpy(room.next, from, n);
  room.next += n;
  return room;
}

// With kExpanding, blocks that need CRs go out with the kernel's expansion.
template <BlockKernel K, bool kExpanding>
class Emitter {
  static_assert(!kExpanding || ExpandingKernel<K>);

 public:
  Emitter(const Sink& sink, const char* from) : sink_(sink), copiedTo_(from) {
    take(reserveRoom(sink, kReservation));
  }
  Emitter(const Emitter&) = delete;
  Emitter& operator=(const Emitter&) = delete;

  // Room for one block's output.
  [[gnu::always_inline]] void makeRoom() {
    if (static_cast<std::size_t>(limit_ - next_) < kRoomPerBlock) take(moreRoom(sink_, next_));
  }

  // Copies the input up to `to`.
  [[gnu::always_inline]] void copyTo(const char* to) {
    copy(copiedTo_, to);
    copiedTo_ = to;
  }

  // Copies the input up to the block at base (a run of lines that needed
  // no edit), then the whole block with a CR before each LF of
  // `lfNeedingCr`.  That may copy the start of the last line too early: see
  // takeBackTo.  Expanding, with the kernel's expansion; else every piece
  // goes with one fixed-width store, and the first two without a branch on
  // whether they exist (a missing one lands past the end, in scratch).
  // REQUIRES: room made, lfNeedingCr != 0, kReadSlack bytes readable after
  // the block.
  [[gnu::always_inline]] void copyBlockAddingCrs(const char* base, Bits lfNeedingCr) {
    if (copiedTo_ != base) [[unlikely]]
      copy(copiedTo_, base);
    copiedTo_ = base + kBlock;
    char* const to = next_;
    next_ = to + kBlock + countOnes(lfNeedingCr);
    if constexpr (kExpanding) {
      K::copy64AddingCrs(to, base, lfNeedingCr);
      return;
    }
    Bits rest = lfNeedingCr & (lfNeedingCr - 1);
    const std::size_t first = lowestBit(lfNeedingCr);
    const std::size_t second = lowestBitOr64(rest);
    K::copy64(to, base);
    to[first] = '\r';
    K::copy64(to + first + 1, base + first);
    to[second + 1] = '\r';
    K::copy64(to + second + 2, base + second);
    std::size_t crsAdded = 2;
    for (rest &= rest - 1; rest != 0; rest &= rest - 1, ++crsAdded) [[unlikely]] {
        const std::size_t at = lowestBit(rest);
        to[at + crsAdded] = '\r';
        K::copy64(to + at + crsAdded + 1, base + at);
      }
  }

  // Copies the input up to each LF of `lfNeedingCr` in the block at base,
  // then a CR: the first piece may begin in an earlier block, the others
  // lie inside this one and go with one store each.  The input copied ends
  // at the last of those LFs.  REQUIRES: room made, lfNeedingCr != 0.
  [[gnu::always_inline]] void copyPiecesAddingCrs(const char* base, Bits lfNeedingCr) {
    const char* at = base + lowestBit(lfNeedingCr);
    copy(copiedTo_, at);
    *next_++ = '\r';
    for (lfNeedingCr &= lfNeedingCr - 1; lfNeedingCr != 0; lfNeedingCr &= lfNeedingCr - 1) {
      const char* const next = base + lowestBit(lfNeedingCr);
      K::copy64(next_, at);
      next_ += next - at;
      *next_++ = '\r';
      at = next;
    }
    copiedTo_ = at;
  }

  // Makes `to` the end of what has been copied when a whole block was
  // copied past it, into the start of a line that must wait.  No LF lies
  // between, so no CR was put in and nothing was handed over since: the
  // bytes to take back are exactly those of the input.
  void takeBackTo(const char* to) {
    if (to < copiedTo_) [[unlikely]] {
      next_ -= copiedTo_ - to;
      copiedTo_ = to;
    }
  }

  // Hands everything copied over to the sink.
  void finish() { sink_.commit(sink_.context, next_); }

 private:
  [[gnu::always_inline]] void copy(const char* from, const char* to) {
    const auto n = static_cast<std::size_t>(to - from);
    if (n <= kBlock) [[likely]] {
      K::copy64(next_, from);
      next_ += n;
      return;
    }
    take(copyLong(sink_, next_, limit_, from, n));
  }

  void take(OutputRoom room) {
    next_ = room.next;
    limit_ = room.limit;
  }

  const Sink& sink_;
  char* next_;  // the room reserved and not filled yet
  char* limit_;
  const char* copiedTo_;
};

}  // namespace
}  // namespace tarvel::blockcopy
