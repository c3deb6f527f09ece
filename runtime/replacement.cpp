#include "runtime/replacement.hpp"

#include <string>
#include <vector>

#include "runtime/console.hpp"
#include "runtime/failure.hpp"
#include "runtime/output.hpp"

namespace tarvel {

namespace {

// The targets, in the order their files were made (ReplacementId n is
// targets[n - 1]).
std::vector<std::string>& targets() {
  static std::vector<std::string> names;
  return names;
}

std::string_view targetOf(ReplacementId id) {
  return id >= 1 && id <= targets().size() ? std::string_view(targets()[id - 1]) : "";
}

void sayCouldNotWrite(std::string_view target, FileFailure why) {
  std::string line = "Could not write '";
  line.append(target);
  line += "': ";
  line += describe(why);
  putErrorLine(line);
}

}  // namespace

ReplacementId prepareFile(std::string_view target, FileFailure& why) {
  std::string name(target);
  const ReplacementId id = systemFiles().createReplacement(name.c_str(), why);
  if (id != 0) targets().push_back(std::move(name));
  return id;
}

void failToWrite(std::string_view target, FileFailure why) {
  sayCouldNotWrite(target, why);
  raiseFailure(why == FileFailure::noSpace ? failure::kDiskFull : failure::kFileWrite);
}

void sendOutputTo(ReplacementId id) {
  output::flush();
  if (const int error = systemFiles().sendOutputTo(id); error != 0)
    failToWrite(targetOf(id), platform::failureOf(error));
  output::start(false);
}

void writeToFile(ReplacementId id, std::string_view text) {
  if (const int error = systemFiles().writeReplacement(id, text.data(), text.size()); error != 0)
    failToWrite(targetOf(id), platform::failureOf(error));
}

bool isTargetOf(std::string_view name, ReplacementId id) {
  return id != 0 && systemFiles().replacementOf(std::string(name).c_str()) == id;
}

bool putFilesInPlace() {
  ReplacementId failed = 0;
  const int error = systemFiles().putReplacementsInPlace(failed);
  if (error == 0) return true;
  sayCouldNotWrite(targetOf(failed), platform::failureOf(error));
  return false;
}

}  // namespace tarvel
