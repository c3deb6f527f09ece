// Counted-string operations against a std::string model.
//
// The input is a program: each step picks an operation and its operands
// among four heap strings, one fixed buffer and an absent string.  Every
// step must raise exactly the failure the model predicts (14 for an absent
// string, 1 for a result that does not fit, 2 for a bad substring request)
// or give the model's result; after every step each string must hold the
// model's text, length and capacity and be NUL-terminated, so a failed
// step is seen to leave its destination as it was.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.hpp"
#include "runtime/counted_string.hpp"
#include "runtime/failure.hpp"

namespace tarvel::fuzzing {
namespace {

constexpr int kHeapSlots = 4;
constexpr int kFixedSlot = 4;
constexpr int kAbsentSlot = 5;
constexpr std::uint32_t kFixedSize = 40;
constexpr std::size_t kMaxSteps = 2000;
// Joining a string to itself over and over would double it each step.
constexpr std::size_t kMaxJoined = 4096;

struct Slot {
  HeapString heap;
  std::string text;
  std::uint32_t capacity = 0;
};

class Program {
 public:
  explicit Program(FuzzedDataProvider& in) : in_(in) {
    for (int i = 0; i <= kFixedSlot; ++i) reset(i);
  }

  void run() {
    for (std::size_t step = 0; step < kMaxSteps && in_.remaining_bytes() > 0; ++step) {
      this->step();
      checkSlots();
    }
  }

 private:
  // ---- operands ----

  int anySlot() { return in_.ConsumeIntegralInRange(0, kAbsentSlot); }
  int presentSlot() { return in_.ConsumeIntegralInRange(0, kFixedSlot); }
  int heapSlot() { return in_.ConsumeIntegralInRange(0, kHeapSlots - 1); }
  bool absent(int slot) const { return slot == kAbsentSlot; }

  CountedString str(int slot) {
    if (slot == kFixedSlot) return fixed_.str();
    if (slot == kAbsentSlot) return CountedString();
    return slots_[slot].heap.str();
  }
  std::string& text(int slot) { return slots_[slot].text; }
  std::uint32_t capacity(int slot) const { return slots_[slot].capacity; }

  // Near the string's length most of the time, anything now and then.
  std::uint32_t start(int slot) {
    if (in_.ConsumeBool()) return in_.ConsumeIntegral<std::uint32_t>();
    const auto length = static_cast<std::uint32_t>(absent(slot) ? 0 : text(slot).size());
    return in_.ConsumeIntegralInRange<std::uint32_t>(0, length + 2);
  }
  std::int32_t count() {
    switch (in_.ConsumeIntegralInRange(0, 2)) {
      case 0:
        return in_.ConsumeIntegralInRange<std::int32_t>(-2, 40);
      case 1:
        return INT32_MAX - in_.ConsumeIntegralInRange<std::int32_t>(0, 2);
      default:
        return in_.ConsumeIntegral<std::int32_t>();
    }
  }

  // Gives `slot` new contents and capacity from the input.
  void reset(int slot) {
    std::string contents = in_.ConsumeRandomLengthString(64);
    const std::uint32_t limit = slot == kFixedSlot ? kFixedSize : 300;
    if (contents.size() > limit) contents.resize(limit);
    const auto capacity =
        static_cast<std::uint32_t>(in_.ConsumeIntegralInRange<std::size_t>(contents.size(), limit));
    if (slot == kFixedSlot) {
      fixed_.str().setLength(0);
      fixed_.setCapacity(capacity);
    } else {
      slots_[slot].heap = allocString(capacity);
    }
    CountedString s = str(slot);
    std::copy(contents.begin(), contents.end(), s.chars());
    s.setLength(static_cast<std::uint32_t>(contents.size()));
    slots_[slot].text = contents;
    slots_[slot].capacity = capacity;
  }

  // A new string from one of the *New operations lands in a heap slot.
  void adopt(int slot, HeapString s) {
    slots_[slot].text = std::string(s.view());
    slots_[slot].capacity = s.capacity();
    slots_[slot].heap = std::move(s);
  }

  void checkSlots() {
    for (int i = 0; i <= kFixedSlot; ++i) {
      const CountedString s = str(i);
      FUZZ_CHECK(s.view() == slots_[i].text);
      FUZZ_CHECK(s.capacity() == slots_[i].capacity);
      FUZZ_CHECK(s.chars()[s.length()] == '\0');
    }
  }

  // ---- the model ----

  static std::string trimmed(const std::string& s) {
    const std::size_t first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(" \t") + 1 - first);
  }

  // The failure a substring request raises on a source of `length`.
  static FailureCode pieceFailure(std::size_t length, std::uint32_t start, std::int32_t count) {
    if (start > length || count < 0 ||
        std::uint64_t{start} + std::uint64_t(count) > kMaxStringLength)
      return failure::kIndexOutOfRange;
    return 0;
  }

  // The decimal text, or "" when it is longer than `room`.
  static std::string decimal(std::int64_t value, std::int32_t width, char fill, std::size_t room,
                             bool& fits) {
    const std::string digits = std::to_string(value);
    const std::uint64_t w = width < 0 ? -std::int64_t{width} : width;
    fits = std::max<std::uint64_t>(w, digits.size()) <= room;
    if (!fits) return "";
    if (w <= digits.size()) return digits;
    const std::string padding(w - digits.size(), fill);
    return width > 0 ? padding + digits : digits + padding;
  }

  // Hexadecimal text of `total` characters, built from the right.
  static std::string hex(std::uint32_t value, std::uint64_t width, char fill, bool separator,
                         std::uint64_t& total) {
    std::string digits;
    for (std::uint32_t v = value;; v >>= 4) {
      digits.insert(digits.begin(), "0123456789ABCDEF"[v & 0xF]);
      if (v >> 4 == 0) break;
    }
    total = std::max<std::uint64_t>(width, digits.size() + (separator && digits.size() > 4));
    if (total > 1024) return "";  // too long for any slot: only total matters
    const bool underscore = separator && total >= 5 && (digits.size() > 4 || fill == '0');
    std::string out;
    std::size_t used = 0;
    for (std::uint64_t pos = 1; pos <= total; ++pos) {
      if (underscore && pos == 5) {
        out.insert(out.begin(), '_');
      } else if (used < digits.size()) {
        out.insert(out.begin(), digits[digits.size() - 1 - used++]);
      } else {
        out.insert(out.begin(), fill);
      }
    }
    return out;
  }

  template <class F>
  static FailureCode failureOf(F&& f) {
    try {
      f();
    } catch (const Failure& e) {
      return e.code();
    }
    return 0;
  }

  // ---- one step ----

  void step() {
    switch (in_.ConsumeIntegralInRange(0, 13)) {
      case 0: {  // copyString
        const int src = anySlot(), dest = anySlot();
        FailureCode expected = absent(src) || absent(dest) ? failure::kNullPointer : 0;
        if (expected == 0 && text(src).size() > capacity(dest)) expected = failure::kStringOverflow;
        FUZZ_CHECK(failureOf([&] {
                     const CountedString out = copyString(str(src), str(dest));
                     FUZZ_CHECK(out.chars() == str(dest).chars());
                   }) == expected);
        if (expected == 0) text(dest) = std::string(text(src));
        break;
      }
      case 1: {  // appendString
        const int src = anySlot(), dest = anySlot();
        FailureCode expected = absent(src) || absent(dest) ? failure::kNullPointer : 0;
        if (expected == 0 && text(dest).size() + text(src).size() > capacity(dest))
          expected = failure::kStringOverflow;
        FUZZ_CHECK(failureOf([&] { appendString(str(src), str(dest)); }) == expected);
        if (expected == 0) text(dest) += std::string(text(src));
        break;
      }
      case 2: {  // concatNew
        const int a = anySlot(), b = anySlot(), into = heapSlot();
        if (!absent(a) && !absent(b) && text(a).size() + text(b).size() > kMaxJoined) break;
        HeapString s;
        const FailureCode code = failureOf([&] { s = concatNew(str(a), str(b)); });
        FUZZ_CHECK(code == (absent(a) || absent(b) ? failure::kNullPointer : 0));
        if (code != 0) break;
        FUZZ_CHECK(s.view() == text(a) + text(b) && s.capacity() == s.length());
        adopt(into, std::move(s));
        break;
      }
      case 3: {  // substringNew
        const int src = anySlot(), into = heapSlot();
        const std::uint32_t from = start(src);
        const std::int32_t n = count();
        FailureCode expected = failure::kNullPointer;
        if (!absent(src)) expected = pieceFailure(text(src).size(), from, n);
        HeapString s;
        FUZZ_CHECK(failureOf([&] { s = substringNew(str(src), from, n); }) == expected);
        if (expected != 0) break;
        FUZZ_CHECK(s.view() == text(src).substr(from, static_cast<std::uint32_t>(n)));
        FUZZ_CHECK(s.capacity() == s.length());
        adopt(into, std::move(s));
        break;
      }
      case 4: {  // substringInto
        const int src = anySlot(), dest = anySlot();
        const std::uint32_t from = start(src);
        const std::int32_t n = count();
        FailureCode expected = absent(src) || absent(dest) ? failure::kNullPointer : 0;
        if (expected == 0 && text(src).size() > capacity(dest)) expected = failure::kStringOverflow;
        if (expected == 0) expected = pieceFailure(text(src).size(), from, n);
        FUZZ_CHECK(failureOf([&] { substringInto(str(src), str(dest), from, n); }) == expected);
        if (expected == 0) text(dest) = text(src).substr(from, static_cast<std::uint32_t>(n));
        break;
      }
      case 5: {  // trimInPlace
        const int s = anySlot();
        FUZZ_CHECK(failureOf([&] { trimInPlace(str(s)); }) ==
                   (absent(s) ? failure::kNullPointer : 0));
        if (!absent(s)) text(s) = trimmed(text(s));
        break;
      }
      case 6: {  // trimNew
        const int src = anySlot(), into = heapSlot();
        HeapString s;
        FUZZ_CHECK(failureOf([&] { s = trimNew(str(src)); }) ==
                   (absent(src) ? failure::kNullPointer : 0));
        if (absent(src)) break;
        FUZZ_CHECK(s.view() == trimmed(text(src)) && s.capacity() == s.length());
        adopt(into, std::move(s));
        break;
      }
      case 7: {  // lowerInPlace: up to the first NUL, not the length
        const int s = anySlot();
        FUZZ_CHECK(failureOf([&] { lowerInPlace(str(s)); }) ==
                   (absent(s) ? failure::kNullPointer : 0));
        if (absent(s)) break;
        for (char& c : text(s)) {
          if (c == '\0') break;
          if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        break;
      }
      case 8: {  // hasPrefix
        const int s = anySlot(), prefix = anySlot();
        bool result = false;
        const bool none = absent(s) || absent(prefix);
        FUZZ_CHECK(failureOf([&] { result = hasPrefix(str(s), str(prefix)); }) ==
                   (none ? failure::kNullPointer : 0));
        if (!none)
          FUZZ_CHECK(result == (text(s).compare(0, text(prefix).size(), text(prefix)) == 0));
        break;
      }
      case 9: {  // lastIndexOf
        const int s = anySlot();
        const char ch = in_.ConsumeBool() ? ' ' : in_.ConsumeIntegral<char>();
        std::int32_t result = 0;
        FUZZ_CHECK(failureOf([&] { result = lastIndexOf(str(s), ch); }) ==
                   (absent(s) ? failure::kNullPointer : 0));
        if (absent(s)) break;
        const std::size_t at = text(s).rfind(ch);
        FUZZ_CHECK(result == (at == std::string::npos ? -1 : static_cast<std::int32_t>(at)));
        break;
      }
      case 10: {  // duplicateString
        const int src = anySlot(), into = heapSlot();
        HeapString s;
        FUZZ_CHECK(failureOf([&] { s = duplicateString(str(src)); }) ==
                   (absent(src) ? failure::kNullPointer : 0));
        if (absent(src)) break;
        FUZZ_CHECK(s.view() == text(src) && s.capacity() == s.length());
        adopt(into, std::move(s));
        break;
      }
      case 11: {  // formatDecimal
        const int dest = presentSlot();
        const std::int64_t value = in_.ConsumeBool() ? in_.ConsumeIntegral<std::int64_t>()
                                                     : in_.ConsumeIntegralInRange(-999, 999);
        const std::int32_t width = in_.ConsumeBool() ? in_.ConsumeIntegral<std::int32_t>()
                                                     : in_.ConsumeIntegralInRange(-50, 50);
        const char fill = in_.ConsumeIntegral<char>();
        bool fits = false;
        const std::string expected = decimal(value, width, fill, capacity(dest), fits);
        const FailureCode code = failureOf([&] { formatDecimal(value, width, fill, str(dest)); });
        if (!fits) {
          FUZZ_CHECK(code == failure::kStringOverflow);
        } else {
          FUZZ_CHECK(code == 0);
          text(dest) = expected;
        }
        break;
      }
      case 12: {  // formatHex
        const int dest = anySlot();
        const std::uint32_t value = in_.ConsumeIntegral<std::uint32_t>();
        const std::uint32_t width = in_.ConsumeBool() ? in_.ConsumeIntegral<std::uint32_t>()
                                                      : in_.ConsumeIntegralInRange(0, 50);
        const char fill = in_.ConsumeBool() ? '0' : in_.ConsumeIntegral<char>();
        digitSeparator = in_.ConsumeBool();
        std::uint64_t total = 0;
        const std::string expected = hex(value, width, fill, digitSeparator, total);
        FailureCode expectedCode = 0;
        if (absent(dest)) {
          expectedCode = failure::kNullPointer;
        } else if (width > kMaxStringLength || total > capacity(dest)) {
          expectedCode = failure::kStringOverflow;
        }
        FUZZ_CHECK(failureOf([&] { formatHex(value, width, fill, str(dest)); }) == expectedCode);
        if (expectedCode == 0) text(dest) = expected;
        break;
      }
      default:
        reset(presentSlot());
        break;
    }
  }

  FuzzedDataProvider& in_;
  Slot slots_[kFixedSlot + 1];  // the last one's heap string is unused
  FixedString<kFixedSize> fixed_;
};

}  // namespace
}  // namespace tarvel::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarvel::fuzzing;
  if (size > kMaxInput) return 0;
  FuzzedDataProvider in(data, size);
  Program(in).run();
  return 0;
}
