#include "runtime/file_system.hpp"

namespace tarvel {

namespace {

class RealFileSystem final : public FileSystem {
 public:
  platform::FileId open(const char* name, FileFailure& why) override {
    return platform::openForReading(name, why);
  }
  platform::FileId openStandardInput() override { return platform::openStandardInput(); }
  platform::ReadResult read(platform::FileId file, void* buffer, std::size_t size) override {
    return platform::readFile(file, buffer, size);
  }
  std::size_t blockSize(platform::FileId file) override { return platform::readBlockSize(file); }
  bool seek(platform::FileId file, std::uint64_t offset) override {
    return platform::seekFile(file, offset);
  }
  void finish(platform::FileId file) override { platform::finishReading(file); }
  bool unchanged(platform::FileId file) override { return platform::unchangedSinceOpen(file); }
  platform::WriteResult writeOutput(const char* first, std::size_t firstSize, const char* second,
                                    std::size_t secondSize) override {
    return platform::writeStandardOutput(first, firstSize, second, secondSize);
  }
  platform::WriteResult writeOutputForReport(const char* first, std::size_t firstSize,
                                             const char* second, std::size_t secondSize) override {
    return platform::writeStandardOutputForReport(first, firstSize, second, secondSize);
  }
  ReplacementId createReplacement(const char* target, FileFailure& why) override {
    return platform::createReplacement(target, why);
  }
  ReplacementId replacementOf(const char* name) override { return platform::replacementOf(name); }
  int sendOutputTo(ReplacementId id) override { return platform::sendStandardOutputTo(id); }
  int writeReplacement(ReplacementId id, const char* bytes, std::size_t size) override {
    return platform::writeReplacement(id, bytes, size);
  }
  int putReplacementsInPlace(ReplacementId& failed) override {
    return platform::putReplacementsInPlace(failed);
  }
};

// Read by the report path, which may run in a signal handler: one plain
// pointer, set only by tests outside any run.
FileSystem* current = nullptr;

}  // namespace

FileSystem& realFileSystem() {
  static RealFileSystem files;
  return files;
}

FileSystem& systemFiles() { return current != nullptr ? *current : realFileSystem(); }

UsingFileSystem::UsingFileSystem(FileSystem& files) : previous_(current) { current = &files; }

UsingFileSystem::~UsingFileSystem() { current = previous_; }

}  // namespace tarvel
