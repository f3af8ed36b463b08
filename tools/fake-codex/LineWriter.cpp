#include "LineWriter.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace corvane::fakecodex {

void LineWriter::line(const Json& value) { raw(value.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n"); }

void LineWriter::notification(const std::string& method, const Json& params) {
  line(Json{{"method", method}, {"params", params}, {"emittedAtMs", wallMilliseconds()}});
}

void LineWriter::raw(const std::string& bytes) {
  if (closed_) return;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) std::_Exit(0);  // the reader is gone
    done += static_cast<size_t>(n);
  }
}

void LineWriter::close() {
  if (!closed_) ::close(STDOUT_FILENO);
  closed_ = true;
}

long long wallMilliseconds() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

std::string randomUuid() {
  std::random_device device;
  std::uniform_int_distribution<int> nibble(0, 15);
  const char* digits = "0123456789abcdef";
  std::string text;
  for (int i = 0; i < 32; ++i) {
    if (i == 8 || i == 12 || i == 16 || i == 20) text += '-';
    int value = nibble(device);
    if (i == 12) value = 4;
    if (i == 16) value = 8 | (value & 3);
    text += digits[value];
  }
  return text;
}

void sleepMilliseconds(long long milliseconds) {
  if (milliseconds <= 0) return;
  timespec t{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

void freeze() {
  for (;;) pause();
}

}  // namespace corvane::fakecodex
