// Expanding a file tree held in memory.
//
// Input: two bytes of read size, one byte of name-table size, then up to
// five files separated by 0xFF bytes, named in order "main", "a.inc",
// "b.inc", "lib\c.inc" and "lib\a.inc", so that directives naming "a.inc",
// "c.inc" and the like find them as written or in the include directory
// "lib\".  "main" is expanded.  A failure (a malformed directive raises
// failure::kIndexOutOfRange) ends the run as it would end the command; the
// output written until then is checked like any other.
//
// Checked for every input, the failures included:
//   * the output is empty or CR LF lines, with no other LF in it;
//   * the ordinary lines of "main" appear in the output in order (after a
//     failure, those before its first directive);
//   * the files opened are "main" and, for each name in the name table,
//     the name as written or in the include directory: each name is tried
//     once and the table holds every name that was tried;
//   * the output is no longer than the files that opened, with a CR LF per
//     line, and the "Could not open" lines of the names that failed;
//   * the output, the failure and anyOpenFailed are exactly those of a
//     plain recursive model built on std::string and the model line reader.
#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/expand.hpp"
#include "app/name_table.hpp"
#include "fuzz/fuzz_support.hpp"
#include "runtime/failure.hpp"
#include "runtime/fake_files_test.hpp"

namespace tarvel::fuzzing {
namespace {

constexpr StringLiteral kIncludeDirectory("lib\\");
const char* const kFileNames[] = {"main", "a.inc", "b.inc", "lib\\c.inc", "lib\\a.inc"};
constexpr char kSeparator = '\xFF';

using Files = std::map<std::string, std::string>;

// Records every open and whether it succeeded.
class RecordingFiles : public FileSystemWrapper {
 public:
  explicit RecordingFiles(FileSystem& inner) : FileSystemWrapper(inner) {}
  platform::FileId open(const char* name, platform::FileFailure& why) override {
    const platform::FileId id = FileSystemWrapper::open(name, why);
    opens.push_back({name, id != 0});
    return id;
  }

  struct Open {
    std::string name;
    bool opened;
  };
  std::vector<Open> opens;

 private:
};

// Output split at its LFs, each line without its CR; false when some LF
// has no CR before it or text follows the last LF.
bool splitOutput(const std::string& out, std::vector<std::string>& lines) {
  std::size_t from = 0;
  for (std::size_t lf; (lf = out.find('\n', from)) != std::string::npos; from = lf + 1) {
    if (lf == from || out[lf - 1] != '\r') return false;
    lines.push_back(out.substr(from, lf - 1 - from));
  }
  return from == out.size();
}

std::string asText(const std::string& name) { return name.substr(0, name.find('\0')); }

void check(const Files& files, std::size_t readSize, std::uint32_t tableSize) {
  testing::FakeFileSystem fake;
  for (const auto& [name, contents] : files) fake.add(name, contents);
  fake.setChunk(readSize);
  RecordingFiles recorded(fake);

  NameTable names(tableSize);
  Expansion expansion(kIncludeDirectory, names, recorded);
  LineMap map;
  expansion.recordLines(map);
  FailureCode code = 0;
  try {
    expansion.expandFile(StringLiteral("main"));
  } catch (const Failure& f) {
    code = f.code();
  }
  const std::string out = OutputCapture::take();

  // CR LF lines only.
  std::vector<std::string> outLines;
  FUZZ_CHECK(splitOutput(out, outLines));

  // The ordinary lines of main, in order.
  std::size_t at = 0;
  const std::vector<std::string> mainLines = modelLines(files.at("main"));
  for (std::size_t i = 0; i < mainLines.size(); ++i) {
    const std::string& line = mainLines[i];
    if (classifyLine(judged(line, i)) != Directive::none) {
      if (code != 0) break;
      continue;
    }
    while (at < outLines.size() && outLines[at] != line) ++at;
    FUZZ_CHECK(at < outLines.size());
    ++at;
  }

  // Each name tried once: "main" first, then for every name its own open,
  // followed by the include directory's when that failed.
  std::multiset<std::string> tried;
  const auto& opens = recorded.opens;
  FUZZ_CHECK(!opens.empty() && opens[0].name == "main" && opens[0].opened);
  std::set<std::string> failedNames;
  for (std::size_t i = 1; i < opens.size(); ++i) {
    tried.insert(opens[i].name);
    if (opens[i].opened) continue;
    FUZZ_CHECK(i + 1 < opens.size());
    FUZZ_CHECK(opens[i + 1].name == asText(std::string(kIncludeDirectory.view()) + opens[i].name));
    if (!opens[i + 1].opened) failedNames.insert(opens[i].name);
    ++i;
  }
  std::multiset<std::string> inTable;
  std::size_t limit = 0;
  names.visitItems([&](const NameNode& node) {
    const std::string key(node.key.view());
    inTable.insert(asText(key));
    // The "Could not open" line of a name that failed.
    if (failedNames.count(asText(key)) != 0)
      limit += 19 + kIncludeDirectory.view().size() + key.size();
  });
  FUZZ_CHECK(tried == inTable);

  // No longer than what was read, a CR LF per line, and the messages.
  for (const auto& open : opens) {
    if (!open.opened) continue;
    const std::string& contents = files.at(open.name);
    limit += contents.size() + 2 * modelLines(contents).size();
  }
  FUZZ_CHECK(out.size() <= limit);

  // Exactly what the model writes.
  ExpansionModel model(files, std::string(kIncludeDirectory.view()));
  FailureCode modelCode = 0;
  try {
    model.expand(*model.openInclude("main"));
  } catch (const Failure& f) {
    modelCode = f.code();
  }
  FUZZ_CHECK(code == modelCode);
  FUZZ_CHECK(out == model.out);
  FUZZ_CHECK(expansion.anyOpenFailed() == model.anyOpenFailed);
  // A whole output has a map that names the source of every line.
  if (code == 0) FUZZ_CHECK(mapMismatch(out, map, files).empty());
}

}  // namespace
}  // namespace tarvel::fuzzing

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tarvel::fuzzing::OutputCapture::install();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarvel::fuzzing;
  if (size > kMaxInput) return 0;
  ByteReader in(data, size);
  const std::uint8_t a = in.byte();
  const std::size_t chunk = readSize(a, in.byte());
  const std::uint32_t tableSize = in.byte() + 1u;
  std::string_view rest = in.rest();

  Files files;
  for (const char* name : kFileNames) {
    const std::size_t cut = rest.find(kSeparator);
    files[name] = std::string(rest.substr(0, cut));
    if (cut == std::string_view::npos) break;
    rest.remove_prefix(cut + 1);
  }
  check(files, chunk, tableSize);
  return 0;
}
