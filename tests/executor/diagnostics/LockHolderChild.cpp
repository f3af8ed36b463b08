// Another process on the data directory: takes an exclusive flock on the
// file it is given, says "locked" on standard output, and keeps the lock
// until its standard input ends.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  int fd = open(argv[1], O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0 || flock(fd, LOCK_EX) != 0) return 1;
  if (write(STDOUT_FILENO, "locked\n", 7) != 7) return 1;
  char byte = 0;
  for (;;) {
    ssize_t got = read(STDIN_FILENO, &byte, 1);
    if (got == 0 || (got < 0 && errno != EINTR)) break;
  }
  return 0;
}
