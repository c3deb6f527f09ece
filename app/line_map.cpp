#include "app/line_map.hpp"

#include <algorithm>
#include <charconv>

namespace tarvel {

namespace {

constexpr std::string_view kHeader = "tarvel line map 1";
constexpr std::string_view kHeaderStart = "tarvel line map ";

// A name as the rest of a line: the bytes that would end the line or be
// read as an escape are written as %XX.
void appendEscaped(std::string_view name, std::string& out) {
  for (const char c : name) {
    if (c == '%')
      out += "%25";
    else if (c == '\r')
      out += "%0D";
    else if (c == '\n')
      out += "%0A";
    else
      out += c;
  }
}

std::optional<std::string> unescaped(std::string_view text) {
  std::string name;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      name += text[i];
      continue;
    }
    const std::string_view code = text.substr(i + 1, 2);
    if (code == "25")
      name += '%';
    else if (code == "0D")
      name += '\r';
    else if (code == "0A")
      name += '\n';
    else
      return std::nullopt;
    i += 2;
  }
  return name;
}

// Takes a decimal number and the blank after it off the front of `text`.
std::optional<std::uint64_t> takeNumber(std::string_view& text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  text.remove_prefix(static_cast<std::size_t>(end - text.data()));
  if (!text.empty()) {
    if (text[0] != ' ') return std::nullopt;
    text.remove_prefix(1);
  }
  return value;
}

}  // namespace

std::uint32_t LineMap::addFile(std::string name) {
  files_.push_back(std::move(name));
  return static_cast<std::uint32_t>(files_.size());
}

void LineMap::addLines(std::uint32_t file, std::uint64_t first, std::uint64_t count) {
  if (count == 0) return;
  if (!stretches_.empty()) {
    Stretch& last = stretches_.back();
    if (last.file == file && last.sourceFirst + last.count == first) {
      last.count += count;
      return;
    }
  }
  stretches_.push_back({lineCount() + 1, count, file, first});
}

std::uint64_t LineMap::lineCount() const {
  return stretches_.empty() ? 0 : stretches_.back().outputFirst + stretches_.back().count - 1;
}

std::string LineMap::text(std::string_view outputName) const {
  std::string out(kHeader);
  out += "\noutput ";
  appendEscaped(outputName, out);
  out += '\n';
  std::uint32_t named = 0;  // the files named so far: 1 to named
  for (const Stretch& s : stretches_) {
    for (; named < s.file; ++named) {
      out += "file " + std::to_string(named + 1) + ' ';
      appendEscaped(files_[named], out);
      out += '\n';
    }
    out += "lines " + std::to_string(s.outputFirst) + ' ' + std::to_string(s.count) + ' ' +
           std::to_string(s.file) + ' ' + std::to_string(s.sourceFirst) + '\n';
  }
  return out;
}

bool LineMap::read(std::string_view text, std::string& error) {
  *this = LineMap();
  std::uint64_t number = 0;
  const auto wrong = [&](std::string_view what) {
    error = "line " + std::to_string(number) + ": " + std::string(what);
    return false;
  };
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (line.ends_with('\r')) line.remove_suffix(1);
    ++number;
    if (number == 1) {
      if (line == kHeader) continue;
      return wrong(line.starts_with(kHeaderStart)
                       ? "a version of the format this tarvel cannot read"
                       : "not a tarvel line map");
    }
    if (line.starts_with("output ")) {
      const std::optional<std::string> name = unescaped(line.substr(7));
      if (!name) return wrong("a name with a bad escape");
      output_ = *name;
    } else if (line.starts_with("file ")) {
      line.remove_prefix(5);
      const std::optional<std::uint64_t> index = takeNumber(line);
      const std::optional<std::string> name = unescaped(line);
      if (!index || *index != files_.size() + 1) return wrong("files out of order");
      if (!name) return wrong("a name with a bad escape");
      files_.push_back(*name);
    } else if (line.starts_with("lines ")) {
      line.remove_prefix(6);
      const std::optional<std::uint64_t> first = takeNumber(line), count = takeNumber(line),
                                         file = takeNumber(line), from = takeNumber(line);
      if (!first || !count || !file || !from || !line.empty() || *count == 0 || *from == 0)
        return wrong("a lines record that is not four numbers");
      if (*first != lineCount() + 1) return wrong("lines out of order");
      if (*file == 0 || *file > files_.size()) return wrong("a file not named before");
      stretches_.push_back({*first, *count, static_cast<std::uint32_t>(*file), *from});
    } else if (!line.empty()) {
      return wrong("not a record of a line map");
    }
  }
  if (number == 0) return wrong("not a tarvel line map");
  return true;
}

std::optional<LineMap::Origin> LineMap::find(std::uint64_t line) const {
  if (line == 0 || line > lineCount()) return std::nullopt;
  const auto after =
      std::upper_bound(stretches_.begin(), stretches_.end(), line,
                       [](std::uint64_t l, const Stretch& s) { return l < s.outputFirst; });
  const Stretch& s = *(after - 1);
  return Origin{files_[s.file - 1], s.sourceFirst + (line - s.outputFirst)};
}

namespace {

// What ends a path in a message: blanks, quotes and brackets.
bool endsPath(char c) {
  return c == ' ' || c == '\t' || c == '"' || c == '\'' || c == '(' || c == ')' || c == '[' ||
         c == ']' || c == '<' || c == '>' || c == ',' || c == ';' || c == '`' || c == '=';
}

bool isSeparator(char c) { return c == '/' || c == '\\'; }

// The digits at `at` in `text`, as a number; `at` moves past them.
std::optional<std::uint64_t> digitsAt(std::string_view text, std::size_t& at) {
  std::uint64_t value = 0;
  const char* const from = text.data() + at;
  const auto [end, error] = std::from_chars(from, text.data() + text.size(), value);
  if (error != std::errc() || end == from || *from == '+' || *from == '-') return std::nullopt;
  at += static_cast<std::size_t>(end - from);
  return value;
}

// A line reference after a name, at `at`: "(LINE)", "(LINE,COL)",
// ":LINE:" or ":LINE:COL:".  Its line and the end of the reference; what
// follows the line (",COL)", ":", ":COL:") lies between `tail` and the end.
struct Reference {
  std::uint64_t line;
  std::size_t tail;
  std::size_t end;
};

std::optional<Reference> referenceAt(std::string_view text, std::size_t at) {
  if (at >= text.size() || (text[at] != '(' && text[at] != ':')) return std::nullopt;
  const char open = text[at];
  std::size_t p = at + 1;
  const std::optional<std::uint64_t> line = digitsAt(text, p);
  if (!line) return std::nullopt;
  const std::size_t tail = p;
  const char close = open == '(' ? ')' : ':';
  const char between = open == '(' ? ',' : ':';
  if (p < text.size() && text[p] == close && open == '(') return Reference{*line, tail, p + 1};
  if (p >= text.size() || text[p] != between) return std::nullopt;
  // "(LINE,COL)" or ":LINE:COL:", else ":LINE:".
  std::size_t q = p + 1;
  if (digitsAt(text, q) && q < text.size() && text[q] == close)
    return Reference{*line, tail, q + 1};
  if (open == ':') return Reference{*line, tail, p + 1};
  return std::nullopt;
}

}  // namespace

void translateLine(std::string_view line, const LineMap& map, std::string& out) {
  const std::string_view output = map.outputName();
  const std::size_t lastSeparator = output.find_last_of("/\\");
  const std::string_view base =
      lastSeparator == std::string_view::npos ? output : output.substr(lastSeparator + 1);
  std::size_t copied = 0;  // line[0, copied) is in out
  std::size_t at = base.empty() ? std::string_view::npos : line.find(base);
  for (; at != std::string_view::npos; at = line.find(base, at + 1)) {
    // The name starts a path, or ends one after a separator: its start is
    // then where the path starts.
    std::size_t start = at;
    if (at > copied && !endsPath(line[at - 1])) {
      if (!isSeparator(line[at - 1])) continue;
      while (start > copied && !endsPath(line[start - 1])) --start;
    }
    const std::optional<Reference> reference = referenceAt(line, at + base.size());
    if (!reference) continue;
    const std::optional<LineMap::Origin> origin = map.find(reference->line);
    if (!origin) continue;
    out.append(line.substr(copied, start - copied));
    out.append(origin->file);
    out += line[at + base.size()];
    out += std::to_string(origin->line);
    out.append(line.substr(reference->tail, reference->end - reference->tail));
    copied = reference->end;
    at = copied - 1;
  }
  out.append(line.substr(copied));
}

}  // namespace tarvel
