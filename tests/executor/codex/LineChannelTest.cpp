#include "executor/codex/LineChannel.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "executor/support/CVError.h"
#include "platform/Clock.h"

namespace corvane {
namespace {

using platform::continuousSeconds;

// A channel over two real pipes; the test plays the child through the other
// ends.
struct Child {
  Child() {
    EXPECT_EQ(pipe2(toChild, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(fromChild, O_CLOEXEC), 0);
    channel = std::make_unique<LineChannel>(toChild[1], fromChild[0]);
  }
  ~Child() {
    if (writer.joinable()) writer.join();
    channel.reset();
    closeOutput();
    if (toChild[0] >= 0) close(toChild[0]);
  }

  void writes(std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t n = write(fromChild[1], bytes.data(), bytes.size());
      ASSERT_GT(n, 0);
      bytes.remove_prefix(static_cast<size_t>(n));
    }
  }
  // Writes from a thread: pipes hold 64 KiB, a megabyte needs a reader.
  void writesLater(std::vector<std::string> parts, int pauseMilliseconds = 0) {
    writer = std::thread([this, parts = std::move(parts), pauseMilliseconds] {
      for (const auto& part : parts) {
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMilliseconds));
        std::string_view bytes = part;
        while (!bytes.empty()) {
          ssize_t n = write(fromChild[1], bytes.data(), bytes.size());
          if (n <= 0) return;  // the channel stopped reading
          bytes.remove_prefix(static_cast<size_t>(n));
        }
      }
      closeOutput();
    });
  }
  void closeOutput() {
    if (fromChild[1] >= 0) close(fromChild[1]);
    fromChild[1] = -1;
  }
  std::string reads() {
    std::string received;
    char buffer[65536];
    ssize_t n;
    fcntl(toChild[0], F_SETFL, O_NONBLOCK);
    while ((n = read(toChild[0], buffer, sizeof buffer)) > 0) received.append(buffer, static_cast<size_t>(n));
    return received;
  }

  int toChild[2] = {-1, -1};
  int fromChild[2] = {-1, -1};
  std::unique_ptr<LineChannel> channel;
  std::thread writer;
};

class LineChannelTest : public ::testing::Test {
 protected:
  Child child;
  LineChannel* channel = child.channel.get();
};

template <typename Body>
std::string failure(Body body) {
  try {
    body();
  } catch (const CVError& error) {
    if (error.kind() == CVError::Kind::timeout) return "timeout";
    return error.message();
  }
  return "no error";
}

double soon() { return continuousSeconds() + 20; }

TEST_F(LineChannelTest, TwoLinesInOneReadComeOutOneByOneWithoutAnotherRead) {
  child.writes("{\"a\":1}\n{\"b\":2}\n");
  EXPECT_EQ(channel->readLine(soon()), "{\"a\":1}");
  // A passed deadline would stop any further wait: the line must already be
  // buffered.
  EXPECT_EQ(channel->readLine(continuousSeconds() - 1), "{\"b\":2}");
  EXPECT_EQ(failure([&] { channel->readLine(continuousSeconds() - 1); }), "timeout");
}

TEST_F(LineChannelTest, ALineSplitOverReadsComesOutWhole) {
  child.writesLater({"{\"id\":", "1,\"resu", "lt\":{}}\n"}, 30);
  EXPECT_EQ(channel->readLine(soon()), "{\"id\":1,\"result\":{}}");
}

TEST_F(LineChannelTest, EmptyLinesAreLines) {
  child.writes("\n\nx\n");
  EXPECT_EQ(channel->readLine(soon()), "");
  EXPECT_EQ(channel->readLine(soon()), "");
  EXPECT_EQ(channel->readLine(soon()), "x");
}

TEST_F(LineChannelTest, ReadLimits) {
  struct Case {
    const char* name;
    std::string bytes;
    std::string expected;  // the line, or the failure
  };
  const std::string limit(LineChannel::lineLimit, 'x');
  const Case cases[] = {
      {"a line of exactly the limit", limit + "\n", limit},
      {"one byte over the limit without a newline", limit + "x", "protocol_error"},
      {"a line one byte over the limit", limit + "x\n", "protocol_error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Child fresh;
    fresh.writesLater({c.bytes});
    std::string got;
    std::string error = failure([&] { got = fresh.channel->readLine(soon()); });
    EXPECT_EQ(error == "no error" ? got : error, c.expected);
  }
}

TEST_F(LineChannelTest, EndOfFileIsRuntimeClosedAtOnce) {
  child.writes("{\"partial\":");
  child.closeOutput();
  // Far from the deadline: only end of file can end this wait.
  EXPECT_EQ(failure([&] { channel->readLine(continuousSeconds() + 600); }), "runtime_closed");
}

TEST_F(LineChannelTest, APassedDeadlineTimesOutBeforeReading) {
  child.writes("waiting\n");
  EXPECT_EQ(failure([&] { channel->readLine(continuousSeconds() - 0.001); }), "timeout");
  EXPECT_EQ(channel->readLine(soon()), "waiting");
}

TEST_F(LineChannelTest, AQuietChildTimesOutAtTheDeadline) {
  double deadline = continuousSeconds() + 0.2;
  EXPECT_EQ(failure([&] { channel->readLine(deadline); }), "timeout");
  EXPECT_GE(continuousSeconds(), deadline);
}

TEST_F(LineChannelTest, WritesLinesWithinTheLimit) {
  channel->writeLine("{\"id\":1}", soon());
  EXPECT_EQ(child.reads(), "{\"id\":1}\n");
  EXPECT_EQ(failure([&] { channel->writeLine(std::string(LineChannel::lineLimit, 'x'), soon()); }), "protocol_error");
  EXPECT_EQ(child.reads(), "") << "nothing of an oversized line is written";
}

TEST_F(LineChannelTest, AChildThatStopsReadingTimesOutTheWrite) {
  // The test reads only when it says so, so the pipe fills up.
  int capacity = fcntl(child.toChild[0], F_GETPIPE_SZ);
  ASSERT_GT(capacity, 0);
  const std::string filling(static_cast<size_t>(capacity) - 1, 'a');
  channel->writeLine(filling, soon());
  // Not one byte of the next line fits: a timeout, and the channel goes on.
  EXPECT_EQ(failure([&] { channel->writeLine("{}", continuousSeconds() + 0.2); }), "timeout");
  EXPECT_EQ(child.reads(), filling + "\n");
  // Only a part of this one fits: the child gets that part and then end of
  // file, never the next line glued to it.
  EXPECT_EQ(failure([&] { channel->writeLine(std::string(3 * filling.size(), 'b'), continuousSeconds() + 0.2); }),
            "timeout");
  EXPECT_EQ(failure([&] { channel->writeLine("{}", soon()); }), "runtime_closed");
  EXPECT_EQ(child.reads(), std::string(static_cast<size_t>(capacity), 'b'));
  char byte;
  EXPECT_EQ(read(child.toChild[0], &byte, 1), 0) << "end of file";
}

TEST_F(LineChannelTest, WritingToAGoneChildIsRuntimeClosedNotSIGPIPE) {
  close(child.toChild[0]);
  child.toChild[0] = -1;
  EXPECT_EQ(failure([&] { channel->writeLine("{}", soon()); }), "runtime_closed");
  // The signal was taken back rather than left pending for later.
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

TEST_F(LineChannelTest, AClosedChannelNeitherReadsNorWrites) {
  child.writes("unread\n");
  channel->close();
  EXPECT_EQ(failure([&] { channel->writeLine("{}", soon()); }), "runtime_closed");
  EXPECT_EQ(failure([&] { channel->readLine(soon()); }), "runtime_closed");
}

}  // namespace
}  // namespace corvane
