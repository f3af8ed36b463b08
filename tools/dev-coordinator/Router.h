#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <boost/beast/http.hpp>

#include "Reply.h"

namespace corvane::devcoordinator {

class FaultPlan;
class RequestLog;

using HttpRequest = boost::beast::http::request<boost::beast::http::string_body>;

// The connection a request arrived on, as the transport knows it.
struct ConnectionInfo {
  std::string scheme;       // "http" or "https"
  uint64_t connection = 0;  // unique per accepted connection for the life of the process
};

// One request as a handler sees it: the checks have passed and json holds the
// parsed body (an object for the API, possibly empty for control calls).
struct ApiRequest {
  const HttpRequest& http;
  std::string path;                   // target without query
  std::vector<std::string> captures;  // the groups of a pattern route
  Json json;

  // "Authorization: Bearer <token>" (scheme case-insensitive); absent otherwise.
  std::optional<std::string> bearerToken() const;
};

using Handler = std::function<Reply(const ApiRequest&)>;

// The routing table of one port. Handlers register their paths here; the
// router applies what every endpoint shares: the request log, scripted faults,
// POST only, a JSON content type and a JSON object body.
class Router {
 public:
  struct Checks {
    bool postOnly = true;
    bool jsonContentType = true;
    bool emptyBodyAsObject = false;  // control calls may leave the body out
  };

  // log and faults may be null (the control port has neither); they must
  // outlive the router.
  Router(Checks checks, RequestLog* log, FaultPlan* faults);

  void add(std::string path, Handler handler);
  // A route whose path matches pattern as a whole; its groups become captures
  // (for paths such as /v1/executor/tasks/<id>/claim).
  void addPattern(const std::string& pattern, Handler handler);

  // Never throws: a handler's exception becomes a 500 answer.
  Reply dispatch(const HttpRequest& request, const ConnectionInfo& connection) const;

 private:
  struct Route {
    std::string path;
    std::optional<std::regex> pattern;
    Handler handler;
  };
  Reply route(const HttpRequest& request, const std::string& path) const;

  Checks checks_;
  RequestLog* log_;
  FaultPlan* faults_;
  std::vector<Route> routes_;
};

}  // namespace corvane::devcoordinator
