// What the Codex runtime writes to us: bytes on a pipe, framed into lines by
// LineChannel and each decoded as a JSON-RPC message.
#include <fcntl.h>
#include <unistd.h>

#include "FuzzSupport.h"
#include "executor/codex/JsonRpc.h"
#include "executor/codex/LineChannel.h"
#include "executor/support/CVError.h"
#include "platform/Clock.h"

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Everything fits the pipe at once, so one thread writes and then reads.
  if (size > 60000) return 0;
  int output[2];
  if (pipe(output) != 0) std::abort();
  int input = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (input < 0) std::abort();
  for (size_t done = 0; done < size;) {
    ssize_t written = write(output[1], data + done, size - done);
    if (written <= 0) std::abort();
    done += static_cast<size_t>(written);
  }
  ::close(output[1]);

  LineChannel channel(input, output[0]);
  double deadline = platform::continuousSeconds() + 30;
  for (;;) {
    std::string line;
    try {
      line = channel.readLine(deadline);
    } catch (const CVError& error) {
      fuzz::require(error.kind() == CVError::Kind::runtime, "a closed pipe read as something else than closed");
      break;
    }
    fuzz::require(line.find('\n') == std::string::npos, "a line with a newline in it");
    try {
      Json message = decodeJsonRpcLine(line);
      fuzz::require(message.is_object(), "a message that is not an object");
      isJsonRpcResponse(message, 1);
      loginCompletionParams(message);
      if (isJsonRpcServerRequest(message)) encodeJsonRpcLine(jsonRpcUnsupported(message["id"]));
      // What we read we can write back, and it reads the same.
      std::string again = encodeJsonRpcLine(message);
      fuzz::require(decodeJsonRpcLine(again) == message, "a message that does not survive writing");
    } catch (const CVError&) {
    }
  }
  return 0;
}
