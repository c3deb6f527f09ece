#include "runtime/replacement.hpp"

#include <string>
#include <vector>

#include "runtime/failure.hpp"
#include "runtime/file_io.hpp"
#include "runtime/output.hpp"
#include "runtime/platform/platform.hpp"

namespace tarvel {

namespace {

// The targets, in the order their files were made (ReplacementId n is
// targets[n - 1]).
std::vector<std::string>& targets() {
  static std::vector<std::string> names;
  return names;
}

void sayCouldNotWrite(std::string_view target) {
  std::string line = "Could not write '";
  line.append(target);
  line += '\'';
  putErrorLine(line);
}

platform::ReplacementId create(std::string_view target) {
  std::string name(target);
  int error = 0;
  const platform::ReplacementId id = platform::createReplacement(name.c_str(), error);
  if (id == 0) {
    sayCouldNotWrite(name);
    raiseFailure(platform::isDeviceFull(error) ? failure::kDiskFull : failure::kFileWrite);
  }
  targets().push_back(std::move(name));
  return id;
}

}  // namespace

void sendOutputToFile(std::string_view target) {
  output::flush();
  if (const int error = platform::sendStandardOutputTo(create(target)); error != 0) {
    sayCouldNotWrite(target);
    raiseFailure(failure::kFileWrite);
  }
  output::start(false);
}

void writeFileOnSuccess(std::string_view target, std::string_view text) {
  const platform::ReplacementId id = create(target);
  if (const int error = platform::writeReplacement(id, text.data(), text.size()); error != 0) {
    sayCouldNotWrite(target);
    raiseFailure(platform::isDeviceFull(error) ? failure::kDiskFull : failure::kFileWrite);
  }
}

bool putFilesInPlace() {
  platform::ReplacementId failed = 0;
  if (platform::putReplacementsInPlace(failed) == 0) return true;
  sayCouldNotWrite(failed >= 1 && failed <= targets().size() ? targets()[failed - 1] : "");
  return false;
}

}  // namespace tarvel
