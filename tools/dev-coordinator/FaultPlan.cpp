#include "FaultPlan.h"

#include <set>
#include <stdexcept>

namespace corvane::devcoordinator {

namespace {

const std::set<std::string>& knownKeys() {
  static const std::set<std::string> keys = {"path",           "times",    "status",  "body", "rawBody", "contentType",
                                             "oversizedBytes", "redirect", "delayMs", "hold", "close"};
  return keys;
}

}  // namespace

Fault Fault::fromJson(const Json& value) {
  if (!value.is_object()) throw std::invalid_argument("a fault is a JSON object");
  for (const auto& [key, member] : value.items()) {
    if (!knownKeys().contains(key)) throw std::invalid_argument("unknown fault member \"" + key + "\"");
  }
  Fault fault;
  if (!value.contains("path") || !value["path"].is_string() || value["path"].get<std::string>().empty())
    throw std::invalid_argument("a fault needs a \"path\"");
  fault.path = value["path"];
  if (value.contains("times")) {
    const Json& times = value["times"];
    if (times.is_null())
      fault.times.reset();
    else if (times.is_number_integer() && times.get<int>() >= 0)
      fault.times = times.get<int>() == 0 ? std::nullopt : std::optional<int>(times.get<int>());
    else
      throw std::invalid_argument("\"times\" is a count (0 or null = always)");
  }
  if (value.contains("status")) {
    const Json& status = value["status"];
    if (!status.is_number_integer() || status.get<int>() < 100 || status.get<int>() > 999)
      throw std::invalid_argument("\"status\" is an HTTP status");
    fault.status = status.get<unsigned>();
  }
  if (value.contains("body")) fault.body = value["body"];
  if (value.contains("rawBody")) {
    if (!value["rawBody"].is_string()) throw std::invalid_argument("\"rawBody\" is a string");
    fault.rawBody = value["rawBody"];
  }
  if (value.contains("contentType")) {
    if (!value["contentType"].is_string()) throw std::invalid_argument("\"contentType\" is a string");
    fault.contentType = value["contentType"];
  }
  if (value.contains("oversizedBytes")) {
    const Json& bytes = value["oversizedBytes"];
    if (!bytes.is_number_integer() || bytes.get<long long>() < 16 || bytes.get<long long>() > (64ll << 20))
      throw std::invalid_argument("\"oversizedBytes\" is a size from 16 bytes to 64 MiB");
    fault.oversizedBytes = bytes.get<size_t>();
  }
  if (value.contains("redirect")) {
    if (!value["redirect"].is_string()) throw std::invalid_argument("\"redirect\" is a Location string");
    fault.redirect = value["redirect"];
  }
  if (value.contains("delayMs")) {
    const Json& delay = value["delayMs"];
    if (!delay.is_number_integer() || delay.get<long long>() < 0 || delay.get<long long>() > 600000)
      throw std::invalid_argument("\"delayMs\" is milliseconds up to 600000");
    fault.delay = std::chrono::milliseconds(delay.get<long long>());
  }
  if (value.contains("hold")) {
    if (!value["hold"].is_boolean()) throw std::invalid_argument("\"hold\" is a boolean");
    fault.hold = value["hold"];
  }
  if (value.contains("close")) {
    if (!value["close"].is_boolean()) throw std::invalid_argument("\"close\" is a boolean");
    fault.close = value["close"];
  }
  int answers = (fault.body || fault.status ? 1 : 0) + (fault.rawBody ? 1 : 0) + (fault.oversizedBytes ? 1 : 0) +
                (fault.redirect ? 1 : 0) + (fault.hold ? 1 : 0) + (fault.close ? 1 : 0);
  if (fault.rawBody && fault.body) throw std::invalid_argument("\"body\" and \"rawBody\" exclude each other");
  if ((fault.hold || fault.close) && answers > 1)
    throw std::invalid_argument("\"hold\" and \"close\" exclude every other answer");
  if (answers == 0 && fault.delay.count() == 0) throw std::invalid_argument("the fault changes nothing");
  return fault;
}

Json Fault::toJson() const {
  Json value{{"path", path}, {"times", times ? Json(*times) : Json()}};
  if (status) value["status"] = *status;
  if (body) value["body"] = *body;
  if (rawBody) value["rawBody"] = *rawBody;
  if (!contentType.empty()) value["contentType"] = contentType;
  if (oversizedBytes) value["oversizedBytes"] = *oversizedBytes;
  if (redirect) value["redirect"] = *redirect;
  if (delay.count() > 0) value["delayMs"] = delay.count();
  if (hold) value["hold"] = true;
  if (close) value["close"] = true;
  return value;
}

bool Fault::matches(const std::string& requestPath) const {
  if (!path.empty() && path.back() == '*')
    return requestPath.compare(0, path.size() - 1, path, 0, path.size() - 1) == 0;
  return requestPath == path;
}

Reply Fault::apply(const std::function<Reply()>& answer) const {
  Reply reply;
  if (hold) {
    reply.delivery = Reply::Delivery::hold;
  } else if (close) {
    reply.delivery = Reply::Delivery::close;
  } else if (redirect) {
    reply = Reply::json(status.value_or(302), body.value_or(Json::object()));
    reply.headers.emplace_back("Location", *redirect);
  } else if (oversizedBytes) {
    // {"padding":"xxx…"} is 14 bytes plus the padding.
    reply.status = status.value_or(200);
    reply.body = "{\"padding\":\"" + std::string(*oversizedBytes - 14, 'x') + "\"}";
  } else if (rawBody) {
    reply.status = status.value_or(200);
    reply.body = *rawBody;
    reply.contentType = contentType.empty() ? "text/html" : contentType;
  } else if (status || body) {
    reply = Reply::json(status.value_or(200),
                        body.value_or(Json{{"error", "forced_status"}, {"message", "status forced by a test"}}));
  } else {
    reply = answer();
  }
  reply.delay = delay;
  return reply;
}

void FaultPlan::add(Fault fault) {
  std::lock_guard lock(mutex_);
  faults_.push_back(std::move(fault));
}

std::optional<Fault> FaultPlan::take(const std::string& path) {
  std::lock_guard lock(mutex_);
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (!it->matches(path)) continue;
    Fault fault = *it;
    if (it->times && --*it->times <= 0) faults_.erase(it);
    return fault;
  }
  return std::nullopt;
}

Json FaultPlan::toJson() const {
  std::lock_guard lock(mutex_);
  Json list = Json::array();
  for (const auto& fault : faults_) list.push_back(fault.toJson());
  return list;
}

void FaultPlan::clear() {
  std::lock_guard lock(mutex_);
  faults_.clear();
}

}  // namespace corvane::devcoordinator
