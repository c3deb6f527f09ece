// Test support: the rules of line reading and of expansion, written as
// plainly as they can be said and sharing no code with the line reader or
// the block copier, for tests and fuzzers to compare the real thing with.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/expand.hpp"
#include "app/line_map.hpp"
#include "runtime/counted_string.hpp"

namespace tarvel::testing {

// A heap string holding exactly `bytes` (which may contain NULs).
inline HeapString fromBytes(std::string_view bytes) {
  HeapString s = allocString(static_cast<std::uint32_t>(bytes.size()));
  std::memcpy(s.chars(), bytes.data(), bytes.size());
  s.str().setLength(static_cast<std::uint32_t>(bytes.size()));
  return s;
}

// The line reader's rules applied one byte at a time, with nothing in
// common with the real reader: LF and CR LF end a line; a CR followed by
// anything else is kept together with that character; a CR at the end of
// input ends the line and is dropped.
class ModelReader {
 public:
  explicit ModelReader(std::string_view input) : in_(input) {}
  bool atEnd() const { return pos_ == in_.size(); }

  // The next line, or the next piece of at most `capacity` characters of
  // it (0: no limit).  REQUIRES: !atEnd().
  std::string line(std::size_t capacity = 0) {
    std::string out;
    auto full = [&] { return capacity != 0 && out.size() == capacity; };
    while (pos_ < in_.size()) {
      const char c = in_[pos_++];
      if (c == '\n') break;
      if (c != '\r') {
        out += c;
        if (full()) break;
        continue;
      }
      if (pos_ == in_.size()) break;
      if (in_[pos_] == '\n') {
        ++pos_;
        break;
      }
      out += '\r';
      if (full()) break;  // the character after the CR starts the next piece
      out += in_[pos_++];
      if (full()) break;
    }
    return out;
  }

 private:
  std::string_view in_;
  std::size_t pos_ = 0;
};

inline std::vector<std::string> modelLines(std::string_view input) {
  ModelReader reader(input);
  std::vector<std::string> lines;
  while (!reader.atEnd()) lines.push_back(reader.line());
  return lines;
}

// Line `index` of a file as it is judged: the first without a UTF-8
// byte-order mark that starts the file.
std::string judged(const std::string& line, std::size_t index) {
  return index == 0 && line.starts_with("\xEF\xBB\xBF") ? line.substr(3) : line;
}

// The expansion as plainly as it can be said.  Names reach the file system
// as NUL-terminated text, and a file once opened stays held, as with the
// real files.
struct ExpansionModel {
  ExpansionModel(const std::map<std::string, std::string>& f, std::string includeDirectory)
      : files(f), directory(std::move(includeDirectory)) {}

  const std::map<std::string, std::string>& files;
  std::string directory;
  std::set<std::string> held;
  std::set<std::string> named;
  std::string out;
  bool anyOpenFailed = false;

  const std::string* open(const std::string& name) {
    const std::string asText = name.substr(0, name.find('\0'));
    const auto it = files.find(asText);
    if (it == files.end() || !held.insert(asText).second) return nullptr;
    return &it->second;
  }
  const std::string* openInclude(const std::string& name) {
    if (const std::string* f = open(name)) return f;
    const std::string path = directory + name;
    if (const std::string* f = open(path)) return f;
    out += "Could not open '" + path + "'\r\n";
    anyOpenFailed = true;
    return nullptr;
  }
  void expand(const std::string& contents) {
    const std::vector<std::string> lines = modelLines(contents);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const std::string& line = lines[i];
      const Directive directive = classifyLine(judged(line, i));
      if (directive == Directive::none) {
        out += line + "\r\n";
        continue;
      }
      const HeapString name = extractName(fromBytes(judged(line, i)), directive);
      const std::string key(name.view());
      if (!named.insert(key).second) continue;
      if (const std::string* f = openInclude(key)) expand(*f);
    }
  }
};

// What is wrong with `recorded`, the map of an expansion of `files` that
// wrote `output` to its end, read back from its text: for every output
// line, the line of its source the map names must be the same text (its
// CR LF aside), or a directive for a "Could not open" line.  Empty when
// nothing is.
inline std::string mapMismatch(const std::string& output, const LineMap& recorded,
                               const std::map<std::string, std::string>& files) {
  LineMap map;
  std::string wrong;
  if (!map.read(recorded.text("out.asm"), wrong)) return "the map does not read back: " + wrong;
  std::map<std::string, std::vector<std::string>> sources;
  for (const auto& [name, text] : files) sources[systemName(name)] = modelLines(text);
  std::uint64_t number = 0;
  for (std::size_t from = 0; from < output.size(); from = output.find('\n', from) + 1) {
    ++number;
    const std::string line = output.substr(from, output.find('\n', from) - from - 1);
    const std::optional<LineMap::Origin> origin = map.find(number);
    const std::string at = "output line " + std::to_string(number);
    if (!origin) return at + " is not in the map";
    const std::string file(origin->file.substr(0, origin->file.find('\0')));
    const auto source = sources.find(file);
    if (source == sources.end() || origin->line > source->second.size())
      return at + ": no line " + std::to_string(origin->line) + " in " + file;
    const std::string& sourceLine = source->second[origin->line - 1];
    const bool message = line.starts_with("Could not open '") &&
                         classifyLine(judged(sourceLine, origin->line - 1)) != Directive::none;
    if (line != sourceLine && !message)
      return at + " is not line " + std::to_string(origin->line) + " of " + file;
  }
  if (map.lineCount() != number || map.find(number + 1))
    return "the map has " + std::to_string(map.lineCount()) + " lines, the output " +
           std::to_string(number);
  return {};
}

}  // namespace tarvel::testing
