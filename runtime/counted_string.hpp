// Counted strings: the one text type of the program.
//
// A counted string is a capacity, a current length and the characters,
// always followed by a NUL, laid out as
//
//     uint32 capacity | uint32 length | characters ... | NUL | slack
//
// so the characters can be handed to the operating system as NUL-terminated
// text without copying.  Three kinds of storage share that layout:
//
//   * heap strings, one block from allocBlock, owned by a move-only
//     HeapString whose destructor releases the block (so a raised failure
//     never leaks one);
//   * literals (StringLiteral), built at compile time, never changed;
//   * fixed buffers (FixedString<N>), static or local storage with a
//     capacity chosen by their owner.
//
// Only a HeapString can be released, and only once: freeString consumes it.
// StringRef and CountedString are non-owning references (read-only and
// writable); either may be absent, which the operations that take strings
// report as failure kNullPointer.
//
// Every operation that can fail makes all its tests before it writes or
// allocates anything, so after a failure the destination is unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tarvel {

// The eight bytes in front of the characters of every counted string.
struct StringHeader {
  std::uint32_t capacity;
  std::uint32_t length;
};

// The largest capacity or length a string may have (2^31 - 1).
inline constexpr std::uint32_t kMaxStringLength = 0x7FFFFFFF;

// A read-only reference to a counted string, or an absent one.
class StringRef {
 public:
  constexpr StringRef() = default;
  // REQUIRES: chars are the characters that follow header.
  constexpr StringRef(const StringHeader* header, const char* chars)
      : header_(header), chars_(chars) {}

  bool absent() const { return header_ == nullptr; }
  // REQUIRES: !absent() for the accessors below.
  std::uint32_t capacity() const { return header_->capacity; }
  std::uint32_t length() const { return header_->length; }
  const char* chars() const { return chars_; }
  std::string_view view() const { return {chars_, length()}; }
  char operator[](std::uint32_t i) const { return chars_[i]; }

 private:
  const StringHeader* header_ = nullptr;
  const char* chars_ = nullptr;
};

// A writable reference to a counted string, or an absent one.
class CountedString {
 public:
  constexpr CountedString() = default;
  // REQUIRES: chars are the characters that follow header.
  constexpr CountedString(StringHeader* header, char* chars) : header_(header), chars_(chars) {}

  operator StringRef() const { return StringRef(header_, chars_); }

  bool absent() const { return header_ == nullptr; }
  // REQUIRES: !absent() for the accessors below.
  std::uint32_t capacity() const { return header_->capacity; }
  std::uint32_t length() const { return header_->length; }
  char* chars() const { return chars_; }
  std::string_view view() const { return {chars_, length()}; }
  char& operator[](std::uint32_t i) const { return chars_[i]; }

  // Adopts the first n characters already in place and terminates them.
  // REQUIRES: n <= capacity().
  void setLength(std::uint32_t n) const {
    header_->length = n;
    chars_[n] = '\0';
  }

 private:
  StringHeader* header_ = nullptr;
  char* chars_ = nullptr;
};

// Sole owner of a heap string.  Move-only; releasing happens in the
// destructor or through freeString, never twice.
class HeapString {
 public:
  HeapString() = default;  // owns nothing: an absent string
  HeapString(HeapString&& other) noexcept : header_(other.header_) { other.header_ = nullptr; }
  HeapString& operator=(HeapString&& other) noexcept;
  HeapString(const HeapString&) = delete;
  HeapString& operator=(const HeapString&) = delete;
  ~HeapString();

  CountedString str() const { return CountedString(header_, chars()); }
  operator CountedString() const { return str(); }
  operator StringRef() const { return str(); }

  bool absent() const { return header_ == nullptr; }
  std::uint32_t capacity() const { return header_->capacity; }
  std::uint32_t length() const { return header_->length; }
  // The characters follow the header in the same block.
  char* chars() const {
    return header_ == nullptr ? nullptr : reinterpret_cast<char*>(header_ + 1);
  }
  std::string_view view() const { return str().view(); }

 private:
  friend HeapString allocString(std::uint32_t capacity);
  friend void freeString(HeapString&& s);
  explicit HeapString(StringHeader* header) : header_(header) {}
  StringHeader* header_ = nullptr;
};

// A fixed buffer with storage for N characters and a NUL.  Its capacity
// starts at N and may be lowered by its owner; it is never released.
template <std::uint32_t N>
class FixedString {
 public:
  FixedString() : header_{N, 0} { chars_[0] = '\0'; }
  FixedString(const FixedString&) = delete;
  FixedString& operator=(const FixedString&) = delete;

  CountedString str() { return CountedString(&header_, chars_); }
  StringRef ref() const { return StringRef(&header_, chars_); }
  operator CountedString() { return str(); }
  operator StringRef() const { return ref(); }

  std::uint32_t capacity() const { return header_.capacity; }
  std::uint32_t length() const { return header_.length; }
  char* storage() { return chars_; }
  std::string_view view() const { return ref().view(); }

  // REQUIRES: length() <= capacity <= N.
  void setCapacity(std::uint32_t capacity) { header_.capacity = capacity; }

 private:
  StringHeader header_;
  char chars_[(N + 4) & ~3u];  // N characters, the NUL, slack to a word
};

// A counted string built at compile time from a string literal.
template <std::size_t N>
struct StringLiteral {
  static_assert(N >= 1 && N - 1 <= kMaxStringLength);
  consteval StringLiteral(const char (&text)[N])
      : header{static_cast<std::uint32_t>(N - 1), static_cast<std::uint32_t>(N - 1)} {
    for (std::size_t i = 0; i < N; ++i) chars[i] = text[i];
  }
  operator StringRef() const { return StringRef(&header, chars); }
  std::string_view view() const { return {chars, N - 1}; }

  StringHeader header;
  char chars[(N + 3) & ~std::size_t{3}] = {};  // text, NUL, zero fill to a word
};

// When on, formatHex writes one "_" as the fifth character from the right.
// On for the whole run.
extern bool digitSeparator;

// ---- Memory blocks ----

// A block of `size` bytes, not cleared.  Raises kMemoryAllocation when refused.
void* allocBlock(std::uint32_t size);
// Gives a block from allocBlock back.  Null is ignored.
void freeBlock(void* block);

// ---- Making and releasing strings ----

// A new empty heap string of the given capacity.  Raises kMemoryAllocation when the block
// is refused or the capacity is 2^31 or more.
HeapString allocString(std::uint32_t capacity);
// Releases a heap string now rather than at the end of its owner's scope.
void freeString(HeapString&& s);
// The length of s.  REQUIRES: s is present.
std::uint32_t length(StringRef s);

// ---- Copying and joining ----

// Replaces dest's contents with src's; returns dest.  Raises kNullPointer, kStringOverflow.
CountedString copyString(StringRef src, CountedString dest);
// Appends src to dest.  Raises kNullPointer, kStringOverflow.
void appendString(StringRef src, CountedString dest);
// A new string: a followed by b.  Raises kNullPointer, kMemoryAllocation.
HeapString concatNew(StringRef a, StringRef b);
// A new copy of s, with capacity equal to its length.  Raises kNullPointer, kMemoryAllocation.
HeapString duplicateString(StringRef s);
// A new string from NUL-terminated text, capacity one more than its length.
// REQUIRES: text is not null.  Raises kMemoryAllocation.
HeapString fromTerminated(const char* text);

// ---- Substrings ----

// A new string of the `count` characters of s from index `start`, cut at the
// end of s.  Raises kNullPointer; kIndexOutOfRange when start is past the end, count is negative or
// start + count passes 2^31 - 1; 13.
HeapString substringNew(StringRef s, std::uint32_t start, std::int32_t count);
// Like substringNew, into dest (which may be src itself).  Raises kNullPointer; kStringOverflow
// when src's whole length exceeds dest's capacity; 2 as substringNew.
void substringInto(StringRef src, CountedString dest, std::uint32_t start, std::int32_t count);

// ---- Trimming, case and searching ----

// Removes spaces and tabs at both ends of s.  Raises kNullPointer.
void trimInPlace(CountedString s);
// A new string: s without spaces and tabs at either end.  Raises kNullPointer, kMemoryAllocation.
HeapString trimNew(StringRef s);
// Lowers A to Z up to the first NUL byte.  Raises kNullPointer.
void lowerInPlace(CountedString s);
// True when s begins with prefix, byte for byte.  Raises kNullPointer.
bool hasPrefix(StringRef s, StringRef prefix);
// The index of the last ch in s, or -1.  Raises kNullPointer.
std::int32_t lastIndexOf(StringRef s, char ch);

// ---- Numbers ----

// Replaces dest with value in decimal, padded with `fill` to |width|
// characters: on the left for a positive width, on the right for a negative
// one.  Raises kStringOverflow when the result does not fit.  REQUIRES: dest is present.
void formatDecimal(std::int64_t value, std::int32_t width, char fill, CountedString dest);
// Replaces dest with value in upper-case hexadecimal, at least `width`
// characters, padded on the left with `fill`; with digitSeparator on, the
// fifth character from the right is "_" when there are more than four
// digits or the fill is '0' and reaches that far.  Raises kNullPointer; kStringOverflow when the
// result does not fit or width is 2^31 or more.
void formatHex(std::uint32_t value, std::uint32_t width, char fill, CountedString dest);

}  // namespace tarvel
