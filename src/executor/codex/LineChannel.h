#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace corvane {

// Line framing over the two pipes to a child: one line per message, each
// ended by a single "\n". Owns both descriptors. Every wait is bounded, so a
// deadline (an absolute continuousSeconds() reading) is noticed within half
// a second however quiet the child is. Not thread-safe.
class LineChannel {
 public:
  static constexpr size_t lineLimit = 1048576;  // without the newline when read, with it when written
  static constexpr size_t readSize = 65536;
  static constexpr double waitStep = 0.5;

  // Makes inputFD non-blocking: a child that stops reading must not hold a
  // writer past its deadline.
  LineChannel(int inputFD, int outputFD);
  ~LineChannel() { close(); }
  LineChannel(const LineChannel&) = delete;
  LineChannel& operator=(const LineChannel&) = delete;

  // Writes line (which must not contain "\n") and its newline in full,
  // waiting while the pipe is full until the deadline (an absolute
  // continuousSeconds() reading). CVError.runtime "protocol_error" when
  // longer than the limit, "runtime_closed" when the channel is closed or the
  // child has gone; CVError.timeout when the child stopped reading and the
  // deadline passed. A line cut off by a timeout ends the input, so the
  // child sees end of file rather than half a line joined to the next one,
  // and later writes are "runtime_closed"; a timeout before any byte of the
  // line was written leaves the channel usable. A broken pipe never raises
  // SIGPIPE in the caller.
  void writeLine(std::string_view line, double deadline);

  // The next line, without its newline. A line already buffered is returned
  // without touching the pipe. CVError.timeout once the deadline has passed
  // with no complete line; CVError.runtime "runtime_closed" at end of file,
  // on a read or wait error and after close; "protocol_error" when more than
  // the limit arrives without a newline.
  std::string readLine(double deadline);

  // Closes the write side only: the child sees end of file on its input,
  // and writes fail from then on.
  void closeInput();

  // Closes both descriptors and drops what was buffered; reads and writes
  // fail from then on.
  void close();

 private:
  int input_;
  int output_;
  std::string pending_;
  size_t scanned_ = 0;  // bytes of pending_ known to hold no newline
};

}  // namespace corvane
