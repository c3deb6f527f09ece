#include "runtime/failure.hpp"

#include <cstring>

#include "runtime/platform/platform.hpp"

namespace tarvel {

StringRef assertionMessage;

namespace {

// The runtime's own codes, 1 to 24, in order.  Misspellings are part of
// the texts users have seen and are kept.
constexpr const char* kRuntimeTexts[] = {
    "String Overflow",
    "Index into string is out of range",
    "Value out of range",
    "Illegal character",
    "Conversion error",
    "Illegal file handle",
    "File open failure",
    "File close failure",
    "File write error",
    "File read error",
    "Disk full error",
    "End of file error",
    "Memory allocation failure",
    "Attempt to dereference a NULL pointer",
    "Cannot free specified storage",
    "Field width specification is too large",
    "Too many command line parameters",
    "Array shape violation",
    "Array bounds violation",
    "Invalid date",
    "Invalid date format",
    "Time overflow (value out of range)",
    "Assertion Failed: ",
    "Attempted to execute abstract routine",
};

struct ConditionText {
  FailureCode code;
  const char* text;
};

constexpr ConditionText kConditionTexts[] = {
    {0x80000003, "Breakpoint encountered"},
    {0x80000004, "Single step exception"},
    {0xC0000005, "Memory Access Violation"},
    {0xC0000008, "Invalid windows handle"},
    {0xC000001D, "Attempted to execute an illegal instruction"},
    {0xC000008C, "BOUND instuction bounds violation"},
    {0xC000008D, "Denormalized floating point value exception"},
    {0xC000008E, "Floating point division by zero"},
    {0xC000008F, "Inexact floating point result exception"},
    {0xC0000090, "Invalid floating point operation"},
    {0xC0000091, "Floating point overflow"},
    {0xC0000092, "FPU stack exception"},
    {0xC0000093, "Floating point underflow"},
    {0xC0000094, "Division error"},
    {0xC0000095, "Integer overflow (into)"},
    {0xC0000096, "Attempted to execute a priviledged instruction"},
    {0xC00000FD, "Stack overflow"},
    {0xC000013A, "Control-C exception"},
};

constexpr StringLiteral kCaptionStart("ZEB Exception (");
constexpr StringLiteral kDollar("$");
constexpr StringLiteral kCaptionEnd(")");
constexpr StringLiteral kUnknown("Unknown (user) exception");

// Copies NUL-terminated text into dest, cut to dest's capacity.
void copyCut(const char* text, std::size_t n, CountedString dest) {
  const std::uint32_t room = dest.capacity() - dest.length();
  const auto take = static_cast<std::uint32_t>(n < room ? n : room);
  std::memcpy(dest.chars() + dest.length(), text, take);
  dest.setLength(dest.length() + take);
}

}  // namespace

void raiseFailure(FailureCode code) { throw Failure(code); }

const char* failureText(FailureCode code) {
  if (code >= 1 && code <= 24) return kRuntimeTexts[code - 1];
  for (const ConditionText& c : kConditionTexts) {
    if (c.code == code) return c.text;
  }
  return nullptr;
}

void buildReportCaption(FailureCode code, CountedString caption) {
  FixedString<16> number;
  copyString(kCaptionStart, caption);
  if (code > 0xFFFF) {
    appendString(kDollar, caption);
    formatHex(code, 8, '0', number);
  } else {
    formatDecimal(code, 0, ' ', number);
  }
  appendString(number, caption);
  appendString(kCaptionEnd, caption);
}

void buildReportText(FailureCode code, CountedString text) {
  text.setLength(0);
  const char* known = failureText(code);
  if (known == nullptr) {
    copyString(kUnknown, text);
    return;
  }
  copyCut(known, std::strlen(known), text);
  // An unset message leaves the text ending in its space; a long one is cut.
  if (code == failure::kAssertion && !assertionMessage.absent())
    copyCut(assertionMessage.chars(), assertionMessage.length(), text);
}

void reportFailure(FailureCode code) {
  FixedString<kReportCaptionCapacity> caption;
  FixedString<kReportTextCapacity> text;
  buildReportCaption(code, caption);
  buildReportText(code, text);

  platform::showFailureReport(caption.storage(), caption.length(), text.storage(), text.length());
}

}  // namespace tarvel
