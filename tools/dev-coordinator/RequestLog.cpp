#include "RequestLog.h"

#include <algorithm>
#include <cctype>
#include <chrono>

namespace corvane::devcoordinator {

namespace {

std::string lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

std::string pathOf(const std::string& target) { return target.substr(0, target.find('?')); }

Json entryJson(const LoggedRequest& entry) {
  Json headers = Json::object();
  Json headerList = Json::array();
  for (const auto& [name, value] : entry.headers) {
    std::string key = lowercase(name);
    if (headers.contains(key))
      headers[key] = headers[key].get<std::string>() + ", " + value;
    else
      headers[key] = value;
    headerList.push_back(Json::array({name, value}));
  }
  Json parsed = Json::parse(entry.body, nullptr, false);
  return Json{{"sequence", entry.sequence},
              {"scheme", entry.scheme},
              {"connection", entry.connection},
              {"method", entry.method},
              {"target", entry.target},
              {"path", pathOf(entry.target)},
              {"headers", headers},
              {"headerList", headerList},
              {"body", entry.body},
              {"json", parsed.is_discarded() ? Json() : parsed},
              {"status", entry.status ? Json(*entry.status) : Json()},
              {"receivedMicros", entry.receivedMicros}};
}

}  // namespace

uint64_t RequestLog::record(LoggedRequest request) {
  std::lock_guard lock(mutex_);
  request.sequence = next_++;
  // steady_clock is CLOCK_MONOTONIC on Linux.
  request.receivedMicros =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count();
  entries_.push_back(std::move(request));
  if (entries_.size() > capacity) entries_.pop_front();
  return entries_.back().sequence;
}

void RequestLog::setStatus(uint64_t sequence, unsigned status) {
  std::lock_guard lock(mutex_);
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
    if (it->sequence == sequence) {
      it->status = status;
      return;
    }
  }
}

Json RequestLog::toJson(const std::string& path) const {
  std::lock_guard lock(mutex_);
  Json list = Json::array();
  for (const auto& entry : entries_) {
    if (path.empty() || pathOf(entry.target) == path) list.push_back(entryJson(entry));
  }
  return list;
}

void RequestLog::clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
}

}  // namespace corvane::devcoordinator
