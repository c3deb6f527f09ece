#include "app/depfile.hpp"

#include <unordered_set>

namespace tarvel {

std::string escapedForMake(std::string_view name) {
  std::string escaped;
  escaped.reserve(name.size() + 8);
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    switch (c) {
      case ' ':
      case '\t':
        // 2N+1 backslashes and a blank stand for N backslashes and the
        // blank; fewer would end the name.
        for (std::size_t j = i; j > 0 && name[j - 1] == '\\'; --j) escaped += '\\';
        escaped += '\\';
        break;
      case '#':
        escaped += '\\';
        break;
      case '$':
        escaped += '$';
        break;
      default:
        break;
    }
    escaped += c;
  }
  return escaped;
}

std::string dependencyText(std::string_view output, const std::vector<std::string>& opened) {
  std::unordered_set<std::string_view> seen;
  std::vector<std::string> names;
  for (const std::string& name : opened) {
    if (seen.insert(name).second) names.push_back(escapedForMake(name));
  }
  std::string text = escapedForMake(output) + ":";
  for (std::size_t i = 0; i < names.size(); ++i) {
    text += i == 0 ? " " : " \\\n ";
    text += names[i];
  }
  text += '\n';
  for (std::size_t i = 1; i < names.size(); ++i) text += names[i] + ":\n";
  return text;
}

}  // namespace tarvel
