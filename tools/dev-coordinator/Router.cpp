#include "Router.h"

#include <algorithm>
#include <cctype>
#include <exception>

#include "FaultPlan.h"
#include "Log.h"
#include "RequestLog.h"

namespace corvane::devcoordinator {

namespace http = boost::beast::http;

namespace {

std::string lowercase(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(), [](unsigned char c) { return std::tolower(c); });
  return result;
}

// "application/json", optionally with parameters ("; charset=utf-8").
bool isJsonContentType(std::string_view value) {
  std::string type = lowercase(value.substr(0, value.find(';')));
  while (!type.empty() && type.back() == ' ') type.pop_back();
  return type == "application/json";
}

}  // namespace

std::optional<std::string> ApiRequest::bearerToken() const {
  auto field = http.find(http::field::authorization);
  if (field == http.end()) return std::nullopt;
  std::string_view value(field->value().data(), field->value().size());
  if (value.size() <= 7 || lowercase(value.substr(0, 7)) != "bearer ") return std::nullopt;
  return std::string(value.substr(7));
}

Router::Router(Checks checks, RequestLog* log, FaultPlan* faults) : checks_(checks), log_(log), faults_(faults) {}

void Router::add(std::string path, Handler handler) {
  routes_.push_back({std::move(path), std::nullopt, std::move(handler)});
}

void Router::addPattern(const std::string& pattern, Handler handler) {
  routes_.push_back({pattern, std::regex(pattern), std::move(handler)});
}

Reply Router::dispatch(const HttpRequest& request, const ConnectionInfo& connection) const {
  std::string target(request.target());
  std::string path = target.substr(0, target.find('?'));
  std::optional<uint64_t> sequence;
  if (log_) {
    LoggedRequest entry;
    entry.scheme = connection.scheme;
    entry.connection = connection.connection;
    entry.method = std::string(request.method_string());
    entry.target = target;
    for (const auto& field : request)
      entry.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    entry.body = request.body();
    sequence = log_->record(std::move(entry));
  }

  Reply reply;
  try {
    std::optional<Fault> fault = faults_ ? faults_->take(path) : std::nullopt;
    reply = fault ? fault->apply([&] { return route(request, path); }) : route(request, path);
  } catch (const std::exception& error) {
    reply = Reply::error(500, "internal_error", error.what());
  }

  if (log_ && sequence && reply.delivery == Reply::Delivery::answer) log_->setStatus(*sequence, reply.status);
  logLine(std::string(request.method_string()) + " " + path + " -> " +
          (reply.delivery == Reply::Delivery::answer ? std::to_string(reply.status)
           : reply.delivery == Reply::Delivery::hold ? std::string("held")
                                                     : std::string("dropped")));
  return reply;
}

Reply Router::route(const HttpRequest& request, const std::string& path) const {
  const Route* found = nullptr;
  std::vector<std::string> captures;
  for (const auto& candidate : routes_) {
    if (!candidate.pattern) {
      if (candidate.path == path) {
        found = &candidate;
        break;
      }
      continue;
    }
    std::smatch match;
    if (std::regex_match(path, match, *candidate.pattern)) {
      found = &candidate;
      for (size_t i = 1; i < match.size(); ++i) captures.push_back(match[i].str());
      break;
    }
  }
  if (!found) return Reply::error(404, "not_found", "no endpoint " + path);
  if (checks_.postOnly && request.method() != http::verb::post) {
    Reply reply = Reply::error(405, "method_not_allowed", "only POST is served");
    reply.headers.emplace_back("Allow", "POST");
    return reply;
  }
  if (checks_.jsonContentType) {
    auto type = request.find(http::field::content_type);
    if (type == request.end() || !isJsonContentType(std::string_view(type->value().data(), type->value().size())))
      return Reply::error(415, "unsupported_media_type", "the body must be sent as application/json");
  }
  Json json;
  if (request.body().empty() && checks_.emptyBodyAsObject) {
    json = Json::object();
  } else {
    json = Json::parse(request.body(), nullptr, false);
    if (json.is_discarded()) return Reply::error(400, "invalid_json", "the body is not JSON");
    if (!json.is_object()) return Reply::error(400, "invalid_json", "the body is not a JSON object");
  }
  return found->handler(ApiRequest{request, path, std::move(captures), std::move(json)});
}

}  // namespace corvane::devcoordinator
