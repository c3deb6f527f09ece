#include "app/expand.hpp"

#include <cstring>
#include <utility>
#include <vector>

#include "app/depfile.hpp"
#include "runtime/console.hpp"
#include "runtime/failure.hpp"

namespace tarvel {

namespace {

constexpr StringLiteral kCouldNotOpen("Could not open '");
constexpr StringLiteral kCouldNotOpenEnd("'\r\n");
constexpr StringLiteral kBackslash("\\");

// The usual size of the line buffer; one grown for a long line shrinks back.
constexpr std::uint32_t kSpillSize = 256;

struct DirectiveForm {
  Directive directive;
  std::string_view prefix;  // lower case
  bool wholeWord;           // the next character may not continue a word
};

constexpr DirectiveForm kForms[] = {
    {Directive::include, "include", true},
    {Directive::dotInclude, ".include", true},
    {Directive::hashInclude, "#include(", false},
    {Directive::hashIncludeOnce, "#includeonce(", false},
};

bool isBlank(char c) { return c == ' ' || c == '\t'; }

char lowered(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

bool continuesWord(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool startsWithLowered(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (lowered(text[i]) != prefix[i]) return false;
  }
  return true;
}

// Replaces `work` with the piece of it from `start`, `count` long.
void cut(CountedString work, std::uint32_t start, std::int32_t count) {
  substringInto(work, work, start, count);
}

// The line as a counted string: spill itself, or a copy of the line in it.
CountedString inSpill(std::string_view line, HeapString& spill) {
  if (line.data() != spill.chars()) {
    if (line.size() > spill.capacity())
      spill = allocString(static_cast<std::uint32_t>(line.size()));
    std::memcpy(spill.chars(), line.data(), line.size());
    spill.str().setLength(static_cast<std::uint32_t>(line.size()));
  }
  return spill;
}

// Directive lines as copyLines looks for them: every form begins with one
// of these characters and goes on, in either case, with the matching three
// of "ncl" or "inc" ("incl", ".inc", "#inc"), and its first 14 decide (the
// longest prefix and the character after it).
bool isDirectiveHead(std::string_view head) { return classifyLine(head) != Directive::none; }
constexpr LineFilter kDirectives = {{'i', 'I', '.', '#'}, {'n', 'n', 'i', 'i'}, 14, isDirectiveHead,
                                    {'c', 'c', 'n', 'n'}, {'l', 'l', 'c', 'c'}};

}  // namespace

Directive classifyLine(std::string_view line) {
  std::size_t first = 0;
  while (first < line.size() && isBlank(line[first])) ++first;
  const std::string_view text = line.substr(first);
  // Most lines are ruled out by their first character.
  if (text.empty() || (text[0] != 'i' && text[0] != 'I' && text[0] != '.' && text[0] != '#'))
    return Directive::none;
  // And most of the rest by their second: 'n' after an 'i', else 'i'.
  if (text.size() < 2 || lowered(text[1]) != (lowered(text[0]) == 'i' ? 'n' : 'i'))
    return Directive::none;
  for (const DirectiveForm& form : kForms) {
    if (!startsWithLowered(text, form.prefix)) continue;
    // Trailing blanks are not part of the trimmed text, and no blank
    // continues a word, so looking at the untrimmed line is the same.
    if (form.wholeWord && text.size() > form.prefix.size() &&
        continuesWord(text[form.prefix.size()]))
      continue;
    return form.directive;
  }
  return Directive::none;
}

HeapString extractName(StringRef line, Directive directive) {
  HeapString work = trimNew(line);
  extractNameInPlace(work, directive);
  return work;
}

void extractNameInPlace(CountedString work, Directive directive) {
  trimInPlace(work);
  auto rest = [&work](std::uint32_t from) {
    return static_cast<std::int32_t>(length(work)) - static_cast<std::int32_t>(from);
  };
  switch (directive) {
    case Directive::include:
      cut(work, 7, rest(7));
      trimInPlace(work);
      break;
    case Directive::dotInclude:
      // The first and last characters are dropped, whatever they are.
      cut(work, 8, rest(8));
      trimInPlace(work);
      cut(work, 1, rest(2));
      break;
    case Directive::hashInclude:
    case Directive::hashIncludeOnce: {
      // From after the first character up to the last double quote.
      const std::uint32_t removed = directive == Directive::hashInclude ? 9 : 13;
      cut(work, removed, rest(removed));
      trimInPlace(work);
      cut(work, 1, lastIndexOf(work, '"') - 1);
      break;
    }
    case Directive::none:
      break;
  }
}

Expansion::Expansion(StringRef includeDirectory, NameTable& names, FileSystem& files)
    : includeDirectory_(includeDirectory), names_(names), files_(files) {}

void Expansion::searchAlso(std::string_view directory) {
  HeapString entry = fromTerminated(std::string(directory).c_str());
  if (!directory.ends_with('/') && !directory.ends_with('\\')) entry = concatNew(entry, kBackslash);
  searched_.push_back(std::move(entry));
}

InputFile Expansion::openInclude(StringRef name, const Site* at, std::string& openedAs) {
  // Not finding a name is ordinary here: no failure is raised for it.  Of
  // the reasons the tries fail for, the first that is not a plain "not
  // there" is the one to tell (a descriptor short, say).
  FileFailure reason = FileFailure::notFound;
  const auto tryName = [&](StringRef path) {
    FileFailure why{};
    InputFile file = tryOpenFile(path, files_, why);
    if (file.isOpen()) {
      openedAs = path.view();
      if (opened_ != nullptr) opened_->push_back(openedAs);
    } else if (reason == FileFailure::notFound) {
      reason = why;
    }
    return file;
  };
  if (InputFile file = tryName(name); file.isOpen()) return file;
  for (const HeapString& directory : searched_) {
    if (InputFile file = tryName(concatNew(directory, name)); file.isOpen()) return file;
  }
  HeapString path = concatNew(includeDirectory_, name);
  if (InputFile file = tryName(path); file.isOpen()) return file;
  putText(kCouldNotOpen);
  putText(path);
  putText(kCouldNotOpenEnd);
  // A name of any length may be written; the message shows its start.
  constexpr std::size_t kLongestNameShown = 200;
  std::string line = "tarvel: ";
  if (at != nullptr) {
    line += systemName(at->file);
    line += ':';
    line += std::to_string(at->line);
    line += ": ";
  }
  line += "cannot open '";
  line += name.view().substr(0, kLongestNameShown);
  if (name.length() > kLongestNameShown) line += "...";
  line += "': ";
  line += describe(reason);
  putErrorLine(line);
  anyOpenFailed_ = true;
  return InputFile();
}

void Expansion::mapLinesBefore(Open& open, std::uint64_t to) {
  if (map_ == nullptr) return;
  if (to > open.nextLine) map_->addLines(open.inMap, open.nextLine, to - open.nextLine);
  open.nextLine = to > open.nextLine ? to : open.nextLine;
}

void Expansion::expandFile(StringRef name) {
  std::vector<Open> open;  // the files being expanded, innermost last
  std::string topName;
  InputFile top = openInclude(name, nullptr, topName);
  if (!top.isOpen()) return;
  const auto opening = [this](InputFile file, std::string openedAs) {
    const std::uint32_t inMap =
        map_ != nullptr ? map_->addFile(normalisedName(systemName(openedAs), "/\\")) : 0;
    return Open{std::move(file), std::move(openedAs), inMap, 1};
  };
  open.push_back(opening(std::move(top), std::move(topName)));

  // One line buffer for the whole run: a directive's line is done with
  // before the file it names is read.
  HeapString spill = allocString(kSpillSize);
  std::string_view line;
  while (!open.empty()) {
    Open& current = open.back();
    if (!current.file.copyLines(kDirectives, spill, line)) {
      mapLinesBefore(current, current.file.linesEnded() + 1);
      open.pop_back();
      continue;
    }
    // The lines before the directive are written; the directive itself
    // writes nothing, or a "Could not open" line that stands for it.
    const std::uint64_t directiveLine = current.file.pickedLineNumber();
    mapLinesBefore(current, directiveLine);
    current.nextLine = directiveLine + 1;
    // The name is cut out where the line lies, so that a long directive
    // line is held no more than twice: in spill and, as the name, in the
    // table.
    const CountedString included = inSpill(line, spill);
    extractNameInPlace(included, classifyLine(line));
    if (names_.lookup(included) != nullptr) continue;
    // Recorded before the open, so a name that fails is not tried again.
    const StringRef name = names_.getNode(included)->key;
    if (spill.capacity() > kSpillSize) {
      spill = HeapString();
      spill = allocString(kSpillSize);
    }
    const Site at{current.openedAs, directiveLine};
    std::string childName;
    InputFile child = openInclude(name, &at, childName);
    if (!child.isOpen()) {
      if (map_ != nullptr) map_->addLines(current.inMap, directiveLine, 1);
      continue;
    }
    // Only the file being read holds a read buffer.
    current.file.setAside();
    open.push_back(opening(std::move(child), std::move(childName)));
  }
}

}  // namespace tarvel
