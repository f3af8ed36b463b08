#pragma once

#include <sys/types.h>

#include <array>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace corvane::platform {

// What one of a child's descriptors 0 to 3 is when it starts.
struct ChildDescriptor {
  enum class Kind {
    inherited,      // the parent's descriptor of the same number, when the parent has it open
    closed,         // not open
    copy,           // a copy of the parent's descriptor fd, which stays the parent's
    nullDevice,     // /dev/null, open for reading and writing
    pipeToChild,    // a new pipe the child reads; the parent gets its write end
    pipeFromChild,  // a new pipe the child writes; the parent gets its read end
  };

  static ChildDescriptor inherited() { return {Kind::inherited, -1}; }
  static ChildDescriptor closed() { return {Kind::closed, -1}; }
  static ChildDescriptor copyOf(int fd) { return {Kind::copy, fd}; }
  static ChildDescriptor nullDevice() { return {Kind::nullDevice, -1}; }
  static ChildDescriptor pipeToChild() { return {Kind::pipeToChild, -1}; }
  static ChildDescriptor pipeFromChild() { return {Kind::pipeFromChild, -1}; }

  Kind kind = Kind::inherited;
  int fd = -1;  // for copy only
};

// How one child process is started.
struct SpawnPlan {
  std::filesystem::path program;       // absolute; started as is, without a PATH search
  std::vector<std::string> arguments;  // the whole argument vector, argument 0 included
  // The complete environment of the child; nothing means the parent's own.
  std::optional<std::map<std::string, std::string>> environment;
  // The child receives exactly these as its descriptors 0 to 3; every
  // descriptor above 3 is closed in the child whatever its close-on-exec
  // flag, so nothing the parent happens to hold can leak into it.
  std::array<ChildDescriptor, 4> descriptors;
  std::optional<std::filesystem::path> directory;  // working directory of the child
  bool newProcessGroup = false;                    // group identifier = the child's process identifier
  // The child is killed (SIGKILL) when the thread that started it ends, for
  // whatever reason, SIGKILL included: for a child that must not outlive a
  // starter that may be killed outright. The kernel ties this to the
  // starting thread, not to the process, so it is only for a starter whose
  // spawning thread lives as long as the child (a single-threaded process).
  // The child's own children are not covered.
  bool diesWithParent = false;
};

// One child process started by this process, from its start until it is
// reaped. The object is the child's only owner: it alone reaps it, and a
// child still unreaped when the object goes is killed (its group with it
// when it leads one) and reaped, so that no child outlives its owner
// unnoticed. Move-only; not thread-safe.
class ChildProcess {
 public:
  // Starts the child with an empty signal mask and default actions for
  // SIGTERM, SIGINT, SIGPIPE and SIGCHLD, whatever the parent blocks or
  // ignores. Nothing when it could not be started (errno tells why); nothing
  // of it is left behind then.
  static std::optional<ChildProcess> spawn(const SpawnPlan& plan);

  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ~ChildProcess();

  // The child's process identifier; also its group's when it leads one.
  // It names the child until the child is reaped.
  pid_t pid() const { return pid_; }

  // The parent's end of the pipe made for the child's descriptor (0 to 3),
  // with close-on-exec set; the caller owns and closes it. -1 when that
  // descriptor was no pipe or its end was taken already. Ends not taken are
  // closed with the object.
  int takePipe(int descriptor);

  // Whether the child has ended. It is not reaped, so its identifier (and
  // its group's) cannot be reused meanwhile.
  bool hasExited() const;

  // Waits for the child to end until deadline (an absolute
  // continuousSeconds() reading) and reaps it: its wait status (see
  // waitpid), or nothing when it still runs at the deadline.
  std::optional<int> wait(double deadline);

  // Ends the child and reaps it: SIGTERM, up to grace seconds for it to end,
  // then SIGKILL. A child that leads its own group is ended with its whole
  // group (terminateProcessGroup), the final SIGKILL reaching the group in
  // every case. Blocks for at most grace seconds plus the reap. Does nothing
  // once the child is reaped.
  void terminate(double grace);

 private:
  ChildProcess(pid_t pid, bool leadsGroup, std::array<int, 4> pipes);
  void release() noexcept;

  pid_t pid_ = -1;  // -1 once reaped or moved from
  bool leadsGroup_ = false;
  std::array<int, 4> pipes_{-1, -1, -1, -1};
};

}  // namespace corvane::platform
