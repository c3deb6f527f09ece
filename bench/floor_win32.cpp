// The benchmark's floor on Windows: the files named on the command line,
// copied to standard output through one reused 256 KiB buffer with
// ReadFile and WriteFile, and nothing else.  What it takes is what the
// system (or wine) itself takes to move those bytes; tarvel.exe's time is
// set against it.
//
//   tarvel_floor.exe FILE...
#include <windows.h>

namespace {

char buffer[256 * 1024];

bool writeAll(HANDLE out, const char* bytes, DWORD size) {
  while (size > 0) {
    DWORD done = 0;
    if (!WriteFile(out, bytes, size, &done, nullptr) || done == 0) return false;
    bytes += done;
    size -= done;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  for (int i = 1; i < argc; ++i) {
    const HANDLE in = CreateFileA(argv[i], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (in == INVALID_HANDLE_VALUE) return 1;
    for (;;) {
      DWORD got = 0;
      if (!ReadFile(in, buffer, sizeof buffer, &got, nullptr)) return 1;
      if (got == 0) break;
      if (!writeAll(out, buffer, got)) return 1;
    }
    CloseHandle(in);
  }
  return 0;
}
