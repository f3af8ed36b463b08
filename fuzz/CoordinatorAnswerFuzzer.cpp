// A coordinator answer as the agent reads it: the offers of "tasks" and the
// quota sampling plans of a sync answer, each validated on its own.
#include "FuzzSupport.h"
#include "executor/agent/ExecutorTask.h"
#include "executor/agent/QuotaSamplingPlan.h"
#include "executor/support/CVError.h"
#include "executor/support/Parsing.h"

using namespace corvane;

namespace {

void readOffer(const Json& offer) {
  try {
    ExecutorTask task(offer);
    fuzz::require(!task.id.empty() && !task.accountID.empty() && !task.credentialID.empty(), "offer without ids");
    fuzz::require(task.bindingVersion > 0, "offer with a binding version below 1");
    fuzz::require(task.priority() >= 0 && task.priority() <= 3, "offer of an unknown kind");
  } catch (const CVError&) {
  }
}

void readPlan(const Json& plan) {
  try {
    QuotaSamplingPlan sampling(plan);
    fuzz::require(sampling.interval == 60 || sampling.interval == 300, "plan with another interval");
    fuzz::require(sampling.bindingVersion > 0, "plan with a binding version below 1");
  } catch (const CVError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto answer = parseJSON(fuzz::text(data, size));
  if (!answer) return 0;
  try {
    parseTime(member(*answer, "serverTime"));
  } catch (const CVError&) {
  }
  for (const char* list : {"tasks", "samplingPlans"}) {
    const Json* items = member(*answer, list);
    if (!items || !items->is_array()) continue;
    for (const auto& item : *items) {
      if (std::string_view(list) == "tasks")
        readOffer(item);
      else
        readPlan(item);
      positiveWholeNumber(member(item, "bindingVersion"));
    }
  }
  // A lone offer or plan, as the corpus holds some.
  readOffer(*answer);
  readPlan(*answer);
  return 0;
}
