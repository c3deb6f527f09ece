#include "app/depfile.hpp"

#include <unordered_set>

namespace tarvel {

namespace {

// Characters at which ninja ends a name, with no escape that it undoes.
constexpr std::string_view kEndsANinjaName = "\"&'*;<>?^`|";

// The separators of the names of opened files: both on Windows; on POSIX
// systemName has turned every backslash into a slash.
constexpr std::string_view kFileSeparators = "/\\";

// ".PHONY", ".IGNORE" and the other targets that change how make works:
// make reads them so even in an included file, and after a "./".
bool looksLikeSpecialTarget(std::string_view name) {
  if (name.size() < 2 || name[0] != '.') return false;
  for (const char c : name.substr(1)) {
    if (!(c >= 'A' && c <= 'Z') && c != '_') return false;
  }
  return true;
}

// True when make or ninja would read `name` as something else whatever
// the characters in it are written as: by its start, its end or its shape.
bool unwritableAsAWhole(std::string_view name) {
  if (name.empty() || name.front() == '~') return true;
  const char last = name.back();
  if (last == '\\' || last == ':' || last == ' ') return true;
  const std::size_t open = name.find('(');
  if (last == ')' && open != std::string_view::npos && open > 0) return true;
  const std::size_t bracket = name.find('[');
  if (bracket != std::string_view::npos && name.find(']', bracket + 1) != std::string_view::npos)
    return true;
  return looksLikeSpecialTarget(name) || name == "define" || name == "undefine";
}

}  // namespace

std::optional<std::string> escapedForMake(std::string_view name, NameRole role) {
  if (unwritableAsAWhole(name)) return std::nullopt;
  std::string escaped;
  escaped.reserve(name.size() + 8);
  std::size_t backslashes = 0;  // how many come right before name[i]
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || kEndsANinjaName.find(c) != std::string_view::npos)
      return std::nullopt;
    switch (c) {
      case ' ':
        // 2N+1 backslashes and a space stand for N backslashes and the
        // space in both tools; fewer would end the name.
        escaped.append(backslashes + 1, '\\');
        break;
      case '#':
      case ':':
        // After N backslashes make wants 2N+1 of them, ninja N+1.
        if (backslashes != 0) return std::nullopt;
        escaped += '\\';
        break;
      case '$':
        // ninja reads "\$" as a backslash and a dollar, whatever follows.
        if (backslashes != 0) return std::nullopt;
        escaped += '$';
        break;
      case '%':
        if (role == NameRole::target) return std::nullopt;
        break;
      case '=':
        return std::nullopt;
      default:
        break;
    }
    escaped += c;
    backslashes = c == '\\' ? backslashes + 1 : 0;
  }
  return escaped;
}

std::string normalisedName(std::string_view name, std::string_view separators) {
  const auto isSeparator = [&](char c) { return separators.find(c) != std::string_view::npos; };
  if (name.size() >= 2 && isSeparator(name[0]) && isSeparator(name[1])) return std::string(name);
  std::string normal;
  normal.reserve(name.size());
  std::size_t i = 0;
  if (!name.empty() && isSeparator(name[0])) normal += name[i++];
  while (i < name.size()) {
    std::size_t end = i;
    while (end < name.size() && !isSeparator(name[end])) ++end;
    const std::string_view component = name.substr(i, end - i);
    if (end == name.size()) {
      normal += component;
      break;
    }
    // The first separator of the run stands for all of it.
    if (component != ".") {
      normal += component;
      normal += name[end];
    }
    i = end;
    while (i < name.size() && isSeparator(name[i])) ++i;
  }
  if (normal.empty() && !name.empty()) normal = ".";
  return normal;
}

DependencyText dependencyText(std::string_view target, const std::vector<std::string>& opened) {
  const std::optional<std::string> escapedTarget = escapedForMake(target, NameRole::target);
  if (!escapedTarget) return {"", std::string(target)};
  std::unordered_set<std::string> seen;
  std::vector<std::string> names;
  for (const std::string& name : opened) {
    std::string normal = normalisedName(name, kFileSeparators);
    if (!seen.insert(normal).second) continue;
    // Every file but the first is also the target of an empty rule.
    const std::optional<std::string> escaped =
        escapedForMake(normal, names.empty() ? NameRole::prerequisite : NameRole::target);
    if (!escaped) return {"", name};
    names.push_back(*escaped);
  }
  std::string text = *escapedTarget + ":";
  for (std::size_t i = 0; i < names.size(); ++i) {
    text += i == 0 ? " " : " \\\n ";
    text += names[i];
  }
  text += '\n';
  for (std::size_t i = 1; i < names.size(); ++i) text += names[i] + ":\n";
  return {text, ""};
}

}  // namespace tarvel
