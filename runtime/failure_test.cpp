#include "runtime/failure.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvel {
namespace {

TEST(ProtectedRegion, HandlerGetsTheCodeAndItsOwnFailuresGoOutward) {
  std::vector<FailureCode> seen;
  const auto record = [&](FailureCode code) { seen.push_back(code); };
  const auto nested = [&] {
    protectedRegion([] { raiseFailure(7); },
                    [&](FailureCode code) {
                      record(code);
                      raiseFailure(0xC0000005);
                    });
    record(1);  // not reached: the inner handler's failure leaves this body too
  };
  protectedRegion(nested, record);
  protectedRegion([] {}, record);
  EXPECT_EQ(seen, (std::vector<FailureCode>{7, 0xC0000005}));
}

// The report's caption and text for `code`, joined by " / ".
std::string reportOf(FailureCode code) {
  FixedString<kReportCaptionCapacity> caption;
  FixedString<kReportTextCapacity> text;
  buildReportCaption(code, caption);
  buildReportText(code, text);
  return std::string(caption.view()) + " / " + std::string(text.view());
}

TEST(FailureReport, CaptionAndTextForEachKindOfCode) {
  EXPECT_EQ(reportOf(7), "ZEB Exception (7) / File open failure");
  EXPECT_EQ(reportOf(0), "ZEB Exception (0) / Unknown (user) exception");
  EXPECT_EQ(reportOf(25), "ZEB Exception (25) / Unknown (user) exception");
  EXPECT_EQ(reportOf(65535), "ZEB Exception (65535) / Unknown (user) exception");
  EXPECT_EQ(reportOf(65536), "ZEB Exception ($001_0000) / Unknown (user) exception");
  EXPECT_EQ(reportOf(0xC0000005), "ZEB Exception ($C000_0005) / Memory Access Violation");
  EXPECT_EQ(reportOf(0xC000013A), "ZEB Exception ($C000_013A) / Control-C exception");
  EXPECT_EQ(reportOf(0xC0000007), "ZEB Exception ($C000_0007) / Unknown (user) exception");
  EXPECT_EQ(reportOf(17), "ZEB Exception (17) / Too many command line parameters");
  EXPECT_EQ(reportOf(0xC000008C), "ZEB Exception ($C000_008C) / BOUND instuction bounds violation");
  EXPECT_EQ(reportOf(0xC0000096),
            "ZEB Exception ($C000_0096) / Attempted to execute a priviledged instruction");
}

TEST(FailureReport, AssertionTextCarriesTheMessageCutToFit) {
  const StringRef saved = assertionMessage;
  std::vector<std::string> reports;
  static constexpr StringLiteral kShort("index < count");
  FixedString<300> longMessage;
  for (int i = 0; i < 300; ++i) longMessage.storage()[i] = static_cast<char>('a' + i % 26);
  longMessage.str().setLength(300);
  for (StringRef message : {StringRef(), StringRef(kShort), longMessage.ref()}) {
    assertionMessage = message;
    reports.push_back(reportOf(failure::kAssertion));
  }
  assertionMessage = saved;
  const std::string prefix = "ZEB Exception (23) / Assertion Failed: ";
  EXPECT_EQ(reports,
            (std::vector<std::string>{prefix, prefix + "index < count",
                                      prefix + std::string(longMessage.view().substr(0, 222))}));
}

}  // namespace
}  // namespace tarvel
