#include "app/startup.hpp"

#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/depfile.hpp"
#include "app/expand.hpp"
#include "app/line_map.hpp"
#include "app/name_table.hpp"
#include "runtime/arguments.hpp"
#include "runtime/console.hpp"
#include "runtime/environment.hpp"
#include "runtime/failure.hpp"
#include "runtime/file_io.hpp"
#include "runtime/file_system.hpp"
#include "runtime/output.hpp"
#include "runtime/process_entry.hpp"
#include "runtime/replacement.hpp"

namespace tarvel {

namespace {

constexpr StringLiteral kNoIncludePath("Could not find path to ZEB include library\r\n");
constexpr StringLiteral kUsage("Usage: tarvel filename\r\n");
constexpr StringLiteral kBackslash("\\");

constexpr StringLiteral kHelpOption("--help");
constexpr StringLiteral kVersionOption("--version");
constexpr StringLiteral kVersion("tarvel " TARVEL_VERSION "\r\n");
constexpr StringLiteral kHelp(
    "Usage: tarvel [options] filename\r\n"
    "       tarvel --help | --version\r\n"
    "       tarvel --where=MAPFILE LINE\r\n"
    "       tarvel --translate=MAPFILE < MESSAGES\r\n"
    "\r\n"
    "Writes the file to standard output with every file it includes expanded\r\n"
    "in place, recursively.  Every output line ends in CR LF.\r\n"
    "\r\n"
    "Options, before the file name (-- ends them; a lone argument is always\r\n"
    "the file name, but for --translate=MAPFILE):\r\n"
    "  -o FILE, --output=FILE\r\n"
    "                     write to FILE instead, put in place only when the\r\n"
    "                     run succeeds (-o - is standard output)\r\n"
    "  --depfile=DEPFILE  also write the files read as a make rule, in place\r\n"
    "                     only when the run succeeds\r\n"
    "  --depfile-target=NAME\r\n"
    "                     the target of that rule (default: the -o FILE)\r\n"
    "  -I DIR, --include-dir=DIR\r\n"
    "                     look for included names in DIR too, after the name\r\n"
    "                     as written and before zebinc; may be repeated\r\n"
    "  --map=MAPFILE      also write where each output line came from, in\r\n"
    "                     place only when the run succeeds (needs -o)\r\n"
    "Every option takes its value after = or as the next argument, and the\r\n"
    "short ones also joined (-oflat.asm).\r\n"
    "\r\n"
    "Directives, in any letter case, after leading blanks:\r\n"
    "  include name            the name is the whole rest of the line\r\n"
    "  .include \"name\"         the rest without its first and last characters\r\n"
    "  #include( \"name\" )      from after the first character to the last quote\r\n"
    "  #includeonce( \"name\" )  the same\r\n"
    "Each name is expanded at most once per run.\r\n"
    "\r\n"
    "A name is opened as written, then in each -I directory, then in the\r\n"
    "directory named by the environment variable zebinc.  A file that cannot\r\n"
    "be opened gives a Could not open line in the output and, on standard\r\n"
    "error, the file and line of its directive and the reason.\r\n"
    "\r\n"
    "--where prints FILE:LINE, the source of output line LINE.  --translate\r\n"
    "copies standard input to standard output with every OUTPUT(LINE),\r\n"
    "OUTPUT(LINE,COL), OUTPUT:LINE: and OUTPUT:LINE:COL: turned into the\r\n"
    "source file and line; everything else passes through as it stands.\r\n"
    "\r\n"
    "Exit status: 0 all expanded; 1 some file could not be opened; 2 usage or\r\n"
    "include-directory message; 3 a fatal failure, reported on standard error.\r\n"
    "Files written with -o, --depfile and --map change only with status 0.\r\n");

// The include directory followed by one backslash.  Room for 256
// characters, of which 255 are used so the expansion always fits its
// terminator.
FixedString<256> includeDirectory;
constexpr std::uint32_t kIncludeDirectoryCapacity = 255;

// The text --help or --version asks for when it is the only argument, or
// absent.  A command line that cannot be split asks for neither: its
// failure is kept in `failed` for the place where the arguments were
// always looked at.
StringRef requestedText(FailureCode& failed) {
  StringRef text;
  protectedRegion(
      [&] {
        if (argumentCount() != 2) return;
        const std::string_view option = argumentAt(1).view();
        if (option == kHelpOption.view() || isSystemHelpSwitch(option)) text = kHelp;
        if (option == kVersionOption.view()) text = kVersion;
      },
      [&](FailureCode code) { failed = code; });
  return text;
}

// What the command line asks for.
struct Request {
  StringRef file;
  std::string output;                           // empty: standard output
  std::string depfile;                          // empty: none
  std::string depfileTarget;                    // the make target in the depfile; empty: output
  std::vector<std::string> includeDirectories;  // searched in this order
  std::string map;                              // empty: none
  std::string whereIn;                          // --where: the map to look in
  std::string translateBy;                      // --translate: the map to translate by
};

// The options: a long spelling, and a short one or none.  Each takes a
// value: after "=" or in the next argument for the long spelling, joined
// or in the next argument for the short one.  `take` stores it, false when
// the option may not be given again.
struct Option {
  std::string_view spelling;  // "--output"
  char letter;                // 'o', or 0
  bool (*take)(Request&, std::string_view value);
};

bool takeOnce(std::string& into, std::string_view value) {
  if (!into.empty()) return false;
  into = value;
  return true;
}

constexpr Option kOptions[] = {
    {"--output", 'o', [](Request& r, std::string_view v) { return takeOnce(r.output, v); }},
    {"--depfile", 0, [](Request& r, std::string_view v) { return takeOnce(r.depfile, v); }},
    {"--depfile-target", 0,
     [](Request& r, std::string_view v) { return takeOnce(r.depfileTarget, v); }},
    {"--include-dir", 'I',
     [](Request& r, std::string_view v) {
       r.includeDirectories.emplace_back(v);
       return true;
     }},
    {"--map", 0, [](Request& r, std::string_view v) { return takeOnce(r.map, v); }},
    {"--where", 0, [](Request& r, std::string_view v) { return takeOnce(r.whereIn, v); }},
    {"--translate", 0, [](Request& r, std::string_view v) { return takeOnce(r.translateBy, v); }},
};

// The options that ask for a map's reading instead of an expansion.
constexpr std::string_view kMapReadings[] = {"--where", "--translate"};

// Whether the command line asks for a map's reading: an option of
// kMapReadings among the options.  "--translate=MAPFILE" alone is one too,
// where any other lone argument is the file name.
bool readsMap() {
  const std::uint32_t count = argumentCount();
  for (std::uint32_t i = 1; i < count; ++i) {
    const std::string_view argument = argumentAt(i).view();
    if (argument == "--" || argument.size() < 2 || argument[0] != '-') return false;
    for (const std::string_view option : kMapReadings) {
      if (argument.substr(0, argument.find('=')) == option &&
          (count > 2 || option == "--translate"))
        return true;
    }
  }
  return false;
}

// "-o -": the output stays standard output.
constexpr std::string_view kStandardOutput = "-";

// The rest of a command line that reads a map, from argument `next`: one
// line number after --where, nothing after --translate, and no other
// option.
std::string checkMapReading(Request& request, std::uint32_t next) {
  const std::uint32_t count = argumentCount();
  if (!request.whereIn.empty() && !request.translateBy.empty())
    return "options '--where' and '--translate' exclude each other";
  if (!request.output.empty() || !request.depfile.empty() || !request.depfileTarget.empty() ||
      !request.map.empty() || !request.includeDirectories.empty())
    return std::string("option '") + (request.whereIn.empty() ? "--translate" : "--where") +
           "' takes no other option";
  if (!request.translateBy.empty()) {
    if (next != count) return "option '--translate' takes no other argument";
    return {};
  }
  if (next == count) return "option '--where' needs an output line number";
  if (next + 1 != count) return "option '--where' takes one output line number";
  request.file = argumentAt(next);
  return {};
}

// Reads the command line: options, then the one file name.  A lone
// argument is always the file name.  Returns what is wrong with it, or
// nothing when it is right.
std::string readCommandLine(Request& request) {
  const std::uint32_t count = argumentCount();
  if (count == 1) return "no file name";
  const bool options = count > 2 || readsMap();
  std::uint32_t next = 1;
  for (; options && next < count; ++next) {
    const std::string_view argument = argumentAt(next).view();
    if (argument == "--") {
      ++next;
      break;
    }
    if (argument.size() < 2 || argument[0] != '-') break;
    const Option* option = nullptr;
    std::string_view value;
    bool joined = false;  // the value is part of this argument
    for (const Option& o : kOptions) {
      if (argument == o.spelling) {
        option = &o;
      } else if (argument.starts_with(o.spelling) && argument[o.spelling.size()] == '=') {
        option = &o;
        value = argument.substr(o.spelling.size() + 1);
        joined = true;
      } else if (o.letter != 0 && argument[0] == '-' && argument[1] == o.letter) {
        option = &o;
        value = argument.substr(2);
        joined = value.size() > 0;
      }
      if (option != nullptr) break;
    }
    const std::string given(argument.substr(0, argument.find('=')));
    if (given == kHelpOption.view() || given == kVersionOption.view())
      return "option '" + given + "' takes no other argument";
    if (option == nullptr) return "unknown option '" + given + "'";
    if (!joined) {
      if (next + 1 == count) return "option '" + given + "' needs a value";
      value = argumentAt(++next).view();
    }
    if (value.empty()) return "option '" + given + "' needs a value";
    if (!option->take(request, value)) return "option '" + given + "' given twice";
  }
  if (!request.whereIn.empty() || !request.translateBy.empty())
    return checkMapReading(request, next);
  if (next == count) return "no file name";
  if (next + 1 != count) {
    return "one file name expected, but '" + std::string(argumentAt(next + 1).view()) +
           "' follows '" + std::string(argumentAt(next).view()) + "'";
  }
  if (request.output == kStandardOutput) request.output.clear();
  if (!request.depfileTarget.empty() && request.depfile.empty())
    return "option '--depfile-target' needs '--depfile'";
  if (!request.depfile.empty() && request.output.empty() && request.depfileTarget.empty())
    return "option '--depfile' needs '-o FILE' or '--depfile-target'";
  // Both files would take the same place, one of them lost.
  if (!request.depfile.empty() && request.depfile == request.output)
    return "the dependency file '" + request.depfile + "' is the output file";
  if (!request.map.empty() && request.output.empty()) return "option '--map' needs '-o FILE'";
  if (!request.map.empty() && (request.map == request.output || request.map == request.depfile))
    return "the map file '" + request.map + "' is written already";
  request.file = argumentAt(next);
  return {};
}

// The usage message, and for a command line of more than the file name
// what is wrong with it, on standard error where a person sees it also
// when standard output is a file.
int refuseCommandLine(const std::string& wrong) {
  putText(kUsage);
  if (argumentCount() > 2) {
    putErrorLine("tarvel: " + wrong);
    putErrorLine("Try 'tarvel --help' for more information.");
  }
  return kExitMessage;
}

// Reads the map `name`; a message on standard error when it cannot.
bool readMap(const std::string& name, LineMap& map) {
  std::string text, wrong;
  FileFailure why{};
  if (!readWholeFile(fromTerminated(name.c_str()), text, why)) {
    putErrorLine("tarvel: cannot read '" + name + "': " + std::string(describe(why)));
    return false;
  }
  if (!map.read(text, wrong)) {
    putErrorLine("tarvel: " + name + ": " + wrong);
    return false;
  }
  return true;
}

// tarvel --where=MAPFILE LINE: "FILE:LINE" for output line LINE.
int printOrigin(const Request& request) {
  LineMap map;
  if (!readMap(request.whereIn, map)) return kExitMessage;
  const std::string_view given = request.file.view();
  std::uint64_t line = 0;
  const auto [end, error] = std::from_chars(given.data(), given.data() + given.size(), line);
  const std::optional<LineMap::Origin> origin =
      error == std::errc() && end == given.data() + given.size() ? map.find(line) : std::nullopt;
  if (!origin) {
    putErrorLine("tarvel: '" + std::string(given) + "' is no line of '" + map.outputName() +
                 "', which has " + std::to_string(map.lineCount()) + " lines");
    return kExitMessage;
  }
  const std::string text = std::string(origin->file) + ':' + std::to_string(origin->line) + "\r\n";
  output::write(text.data(), text.size());
  return kExitSuccess;
}

// tarvel --translate=MAPFILE: standard input to standard output, line by
// line, with the references to the output's lines turned into the
// source's.  A line is held whole, however long; nothing else grows.
int translateMessages(const Request& request) {
  LineMap map;
  if (!readMap(request.translateBy, map)) return kExitMessage;
  FileSystem& files = realFileSystem();
  const platform::FileId input = files.openStandardInput();
  if (input == 0) return kExitSuccess;
  const FileHandle hold(files, input);
  std::string block(64 * 1024, '\0'), line, translated;
  for (;;) {
    const platform::ReadResult r = files.read(input, block.data(), block.size());
    if (r.count < 0) {
      putErrorLine("tarvel: cannot read standard input: error " + std::to_string(r.error));
      return kExitFailure;
    }
    std::string_view rest(block.data(), static_cast<std::size_t>(r.count));
    if (r.count == 0) rest = line.empty() ? rest : "\n";  // ends a last line without LF
    for (std::size_t lf = rest.find('\n'); lf != std::string_view::npos; lf = rest.find('\n')) {
      line.append(rest.substr(0, lf + 1));
      rest.remove_prefix(lf + 1);
      if (r.count == 0) line.pop_back();
      translateLine(line, map, translated);
      line.clear();
      output::write(translated.data(), translated.size());
      translated.clear();
    }
    line.append(rest);
    if (r.count == 0) return kExitSuccess;
  }
}

}  // namespace

int mainProgram() {
  // Help is given whatever the environment holds.
  FailureCode argumentFailure = 0;
  if (const StringRef text = requestedText(argumentFailure); !text.absent()) {
    putText(text);
    return kExitSuccess;
  }

  // Reading a map needs no include directory.
  if (argumentFailure == 0 && readsMap()) {
    Request request;
    if (const std::string wrong = readCommandLine(request); !wrong.empty()) {
      // Standard output is the filter's: the usage line stays off it.
      putErrorLine("tarvel: " + wrong);
      putErrorLine("Try 'tarvel --help' for more information.");
      return kExitMessage;
    }
    return request.whereIn.empty() ? translateMessages(request) : printOrigin(request);
  }

  // The value and its terminator must fit the 255 characters of room.
  expandEnvironment("%zebinc%", includeDirectory, kIncludeDirectoryCapacity);
  includeDirectory.setCapacity(kIncludeDirectoryCapacity);
  // Blanks alone name no directory either: trimmed, they would leave the
  // root (a lone backslash).
  trimInPlace(includeDirectory);
  if (includeDirectory.length() == 0) {
    putText(kNoIncludePath);
    return kExitMessage;
  }
  appendString(kBackslash, includeDirectory);

  std::unique_ptr<NameTable> includedNames = createTable(256);
  if (argumentFailure != 0) raiseFailure(argumentFailure);
  Request request;
  if (const std::string wrong = readCommandLine(request); !wrong.empty())
    return refuseCommandLine(wrong);

  // The files to write are made first, empty, and held from then on, so
  // that the run cannot read them back; one that stands where another is
  // written, or where the file to expand is, would be lost.
  struct Written {
    const std::string& name;  // empty: not asked for
    const char* what;
    const char* whenHeld;  // the usage error when a file before it is there
    ReplacementId id = 0;
  };
  Written written[] = {{request.output, "the output file", nullptr},
                       {request.depfile, "the dependency file", "is the output file"},
                       {request.map, "the map file", "is written already"}};
  for (Written& w : written) {
    if (w.name.empty()) continue;
    FileFailure why{};
    w.id = prepareFile(w.name, why);
    if (w.id == 0 && why == FileFailure::held && w.whenHeld != nullptr)
      return refuseCommandLine(std::string(w.what) + " '" + w.name + "' " + w.whenHeld);
    if (w.id == 0) failToWrite(w.name, why);
  }
  for (const Written& w : written) {
    if (isTargetOf(request.file.view(), w.id))
      return refuseCommandLine(std::string(w.what) + " '" + w.name + "' is the file to expand");
  }
  const ReplacementId outputFile = written[0].id, dependencyFile = written[1].id,
                      mapFile = written[2].id;

  Expansion expansionOfFile(includeDirectory, *includedNames);
  for (const std::string& directory : request.includeDirectories)
    expansionOfFile.searchAlso(directory);
  std::vector<std::string> opened;
  if (outputFile != 0) sendOutputTo(outputFile);
  if (dependencyFile != 0) expansionOfFile.listOpenedFiles(opened);
  LineMap map;
  if (mapFile != 0) expansionOfFile.recordLines(map);
  expansionOfFile.expandFile(request.file);
  includedNames->destroyTable([](NameNode&, void*) {});
  if (expansionOfFile.anyOpenFailed()) return kExitIncomplete;
  if (dependencyFile != 0) {
    for (std::string& name : opened) name = systemName(name);
    const std::string& target =
        request.depfileTarget.empty() ? request.output : request.depfileTarget;
    const DependencyText dependencies = dependencyText(target, opened);
    if (!dependencies.unwritable.empty()) {
      putErrorLine("tarvel: cannot write '" + dependencies.unwritable +
                   "' in a dependency file: make or ninja would read it as another name");
      return kExitIncomplete;
    }
    writeToFile(dependencyFile, dependencies.text);
  }
  if (mapFile != 0) writeToFile(mapFile, map.text(request.output));
  return kExitSuccess;
}

}  // namespace tarvel
