#include "runtime/counted_string.hpp"

#include <cstring>

#include "runtime/failure.hpp"
#include "runtime/platform/platform.hpp"

namespace tarvel {

bool digitSeparator = true;

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

void requirePresent(StringRef s) {
  if (s.absent()) raiseFailure(failure::kNullPointer);
}

// Checks a substring request against a source of `length` characters and
// returns the count cut at the end of the source.
std::uint32_t checkedPiece(std::uint32_t length, std::uint32_t start, std::int32_t count) {
  if (start > length) raiseFailure(failure::kIndexOutOfRange);
  if (count < 0 || std::uint64_t{start} + static_cast<std::uint32_t>(count) > kMaxStringLength)
    raiseFailure(failure::kIndexOutOfRange);
  const std::uint32_t rest = length - start;
  return static_cast<std::uint32_t>(count) < rest ? static_cast<std::uint32_t>(count) : rest;
}

// First and one-past-last index of s without blanks at either end;
// first == last when nothing is left.
struct Trimmed {
  std::uint32_t first;
  std::uint32_t end;
};

Trimmed trimBounds(StringRef s) {
  const char* c = s.chars();
  std::uint32_t first = 0;
  // The forward scan stops at the terminator, which is never a blank.
  while (isBlank(c[first])) ++first;
  if (first >= s.length()) return {0, 0};
  std::uint32_t end = s.length();
  while (isBlank(c[end - 1])) --end;
  return {first, end};
}

HeapString newStringFrom(const char* chars, std::uint32_t n) {
  HeapString s = allocString(n);
  std::memcpy(s.chars(), chars, n);
  s.str().setLength(n);
  return s;
}

}  // namespace

HeapString& HeapString::operator=(HeapString&& other) noexcept {
  if (this != &other) {
    freeBlock(header_);
    header_ = other.header_;
    other.header_ = nullptr;
  }
  return *this;
}

HeapString::~HeapString() { freeBlock(header_); }

void* allocBlock(std::uint32_t size) {
  void* block = platform::allocateMemory(size);
  if (block == nullptr) raiseFailure(failure::kMemoryAllocation);
  return block;
}

void freeBlock(void* block) { platform::releaseMemory(block); }

HeapString allocString(std::uint32_t capacity) {
  if (capacity > kMaxStringLength) raiseFailure(failure::kMemoryAllocation);
  // Header, characters and terminator, rounded up to whole words.
  const std::uint32_t size = sizeof(StringHeader) + ((capacity + 4) & ~3u);
  auto* header = static_cast<StringHeader*>(allocBlock(size));
  header->capacity = capacity;
  header->length = 0;
  reinterpret_cast<char*>(header + 1)[0] = '\0';
  return HeapString(header);
}

void freeString(HeapString&& s) {
  freeBlock(s.header_);
  s.header_ = nullptr;
}

std::uint32_t length(StringRef s) { return s.length(); }

CountedString copyString(StringRef src, CountedString dest) {
  requirePresent(src);
  requirePresent(dest);
  if (src.length() > dest.capacity()) raiseFailure(failure::kStringOverflow);
  std::memmove(dest.chars(), src.chars(), src.length());
  dest.setLength(src.length());
  return dest;
}

void appendString(StringRef src, CountedString dest) {
  requirePresent(src);
  requirePresent(dest);
  const std::uint64_t total = std::uint64_t{dest.length()} + src.length();
  if (total > dest.capacity()) raiseFailure(failure::kStringOverflow);
  std::memmove(dest.chars() + dest.length(), src.chars(), src.length());
  dest.setLength(static_cast<std::uint32_t>(total));
}

HeapString concatNew(StringRef a, StringRef b) {
  requirePresent(a);
  requirePresent(b);
  const std::uint64_t total = std::uint64_t{a.length()} + b.length();
  if (total > kMaxStringLength) raiseFailure(failure::kMemoryAllocation);
  HeapString s = allocString(static_cast<std::uint32_t>(total));
  std::memcpy(s.chars(), a.chars(), a.length());
  std::memcpy(s.chars() + a.length(), b.chars(), b.length());
  s.str().setLength(static_cast<std::uint32_t>(total));
  return s;
}

HeapString duplicateString(StringRef s) {
  requirePresent(s);
  return newStringFrom(s.chars(), s.length());
}

HeapString fromTerminated(const char* text) {
  const std::size_t n = std::strlen(text);
  if (n >= kMaxStringLength) raiseFailure(failure::kMemoryAllocation);
  HeapString s = allocString(static_cast<std::uint32_t>(n + 1));
  std::memcpy(s.chars(), text, n);
  s.str().setLength(static_cast<std::uint32_t>(n));
  return s;
}

HeapString substringNew(StringRef s, std::uint32_t start, std::int32_t count) {
  requirePresent(s);
  const std::uint32_t n = checkedPiece(s.length(), start, count);
  return newStringFrom(s.chars() + start, n);
}

void substringInto(StringRef src, CountedString dest, std::uint32_t start, std::int32_t count) {
  requirePresent(src);
  requirePresent(dest);
  // The whole source must fit, not only the piece.
  if (src.length() > dest.capacity()) raiseFailure(failure::kStringOverflow);
  const std::uint32_t n = checkedPiece(src.length(), start, count);
  // dest may be src itself: the piece then moves toward the front.
  std::memmove(dest.chars(), src.chars() + start, n);
  dest.setLength(n);
}

void trimInPlace(CountedString s) {
  requirePresent(s);
  const Trimmed t = trimBounds(s);
  std::memmove(s.chars(), s.chars() + t.first, t.end - t.first);
  s.setLength(t.end - t.first);
}

HeapString trimNew(StringRef s) {
  requirePresent(s);
  const Trimmed t = trimBounds(s);
  return newStringFrom(s.chars() + t.first, t.end - t.first);
}

void lowerInPlace(CountedString s) {
  requirePresent(s);
  // Stops at the first NUL byte, not at the length.
  for (char* c = s.chars(); *c != '\0'; ++c) {
    if (*c >= 'A' && *c <= 'Z') *c = static_cast<char>(*c + ('a' - 'A'));
  }
}

bool hasPrefix(StringRef s, StringRef prefix) {
  requirePresent(s);
  requirePresent(prefix);
  return prefix.length() <= s.length() &&
         std::memcmp(s.chars(), prefix.chars(), prefix.length()) == 0;
}

std::int32_t lastIndexOf(StringRef s, char ch) {
  requirePresent(s);
  for (std::uint32_t i = s.length(); i > 0; --i) {
    if (s[i - 1] == ch) return static_cast<std::int32_t>(i - 1);
  }
  return -1;
}

void formatDecimal(std::int64_t value, std::int32_t width, char fill, CountedString dest) {
  // Digits are built from the right; 2^63 is the largest magnitude.
  char scratch[32];
  char* end = scratch + sizeof scratch;
  char* p = end;
  std::uint64_t magnitude = value < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(value)
                                      : static_cast<std::uint64_t>(value);
  do {
    *--p = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) *--p = '-';
  const auto textLength = static_cast<std::uint32_t>(end - p);

  const std::uint64_t w = width < 0 ? std::uint64_t{0} - static_cast<std::int64_t>(width)
                                    : static_cast<std::uint64_t>(width);
  const std::uint64_t total = w > textLength ? w : textLength;
  if (total > dest.capacity()) raiseFailure(failure::kStringOverflow);

  const auto fillCount = static_cast<std::uint32_t>(total - textLength);
  char* out = dest.chars();
  if (width >= 0) {
    std::memset(out, fill, fillCount);
    std::memcpy(out + fillCount, p, textLength);
  } else {
    std::memcpy(out, p, textLength);
    std::memset(out + textLength, fill, fillCount);
  }
  dest.setLength(static_cast<std::uint32_t>(total));
}

void formatHex(std::uint32_t value, std::uint32_t width, char fill, CountedString dest) {
  requirePresent(dest);
  if (width > kMaxStringLength) raiseFailure(failure::kStringOverflow);

  std::uint32_t digits = 1;
  for (std::uint32_t v = value >> 4; v != 0; v >>= 4) ++digits;
  std::uint32_t total = digits + (digitSeparator && digits > 4 ? 1 : 0);
  if (width > total) total = width;
  if (total > dest.capacity()) raiseFailure(failure::kStringOverflow);

  // The one separator stands fifth from the right, between the fourth and
  // fifth digits, or in a zero fill that reaches that far.
  const bool separator = digitSeparator && total >= 5 && (digits > 4 || fill == '0');
  char* out = dest.chars();
  std::uint32_t pos = total;
  std::uint32_t written = 0;  // digits, fill and separator, from the right
  auto put = [&](char c) {
    out[--pos] = c;
    ++written;
  };
  for (std::uint32_t v = value;;) {
    if (separator && written == 4) put('_');
    put("0123456789ABCDEF"[v & 0xF]);
    v >>= 4;
    if (v == 0) break;
  }
  while (pos > 0) put(separator && written == 4 ? '_' : fill);
  dest.setLength(total);
}

}  // namespace tarvel
