// A stand-in for an agent process that dies with tasks in flight: it claims
// tasks through the journal the way the agent does and never finishes them
// all. The journal test kills it with SIGKILL and reopens the database.
//
//   journal-crash-child each-stage DB   claim one task per stage, then SIGKILL itself
//   journal-crash-child forever DB      claim, advance and finish tasks until killed

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string>

#include "executor/state/Journal.h"

namespace {

using corvane::Journal;

void claim(Journal& journal, const std::string& id, const std::string& stage, const std::string& action) {
  journal.execute("INSERT INTO tasks(id,lease_id,stage,action) VALUES (?,?,?,?)", {id, "lease-" + id, stage, action});
}

void markSending(Journal& journal, const std::string& id) {
  journal.execute("UPDATE tasks SET stage='sending' WHERE id=? AND stage='preflight'", {id});
}

void eachStage(Journal& journal) {
  claim(journal, "manual", "preflight", "manual_ping");
  claim(journal, "automatic", "preflight", "ping");
  claim(journal, "sending", "preflight", "ping");
  markSending(journal, "sending");
  // Claimed last and finished: recovery must leave its result alone, and it
  // must still be reported before the pings.
  claim(journal, "remove", "sending", "remove");
  journal.finish("remove", {{"result", "succeeded"}});
  std::puts("claimed");
  std::fflush(stdout);
  kill(getpid(), SIGKILL);
}

[[noreturn]] void forever(Journal& journal) {
  for (long i = 0;; ++i) {
    std::string id = "task-" + std::to_string(i);
    switch (i % 4) {
      case 0:
        claim(journal, id, "preflight", "manual_ping");
        break;
      case 1:
        claim(journal, id, "preflight", "ping");
        break;
      case 2:
        claim(journal, id, "preflight", "ping");
        markSending(journal, id);
        break;
      default:
        claim(journal, id, "sending", "remove");
        break;
    }
    if ((i / 4) % 2 == 1) journal.finish(id, {{"result", "succeeded"}, {"finishedBy", "child"}});
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 64;
  try {
    Journal journal(argv[2]);
    std::string mode = argv[1];
    if (mode == "each-stage") eachStage(journal);
    if (mode == "forever") forever(journal);
    return 64;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "journal-crash-child: %s\n", error.what());
    return 1;
  }
}
