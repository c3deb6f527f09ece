// The benchmark's floor on POSIX systems: the files named on the command
// line, copied to standard output through one reused 256 KiB buffer with
// read and write, and nothing else.  What it takes is what the system
// itself takes to move those bytes; tarvel's time is set against it.
//
//   tarvel_floor FILE...
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

char buffer[256 * 1024];

bool writeAll(const char* bytes, ssize_t size) {
  while (size > 0) {
    const ssize_t n = write(1, bytes, static_cast<size_t>(size));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= n;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const int fd = open(argv[i], O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 1;
    for (;;) {
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 || !writeAll(buffer, n)) return 1;
      if (n == 0) break;
    }
    close(fd);
  }
  return 0;
}
