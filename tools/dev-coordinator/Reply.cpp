#include "Reply.h"

namespace corvane::devcoordinator {

Reply Reply::json(unsigned status, const Json& body) {
  Reply reply;
  reply.status = status;
  reply.body = body.dump(-1, ' ', false, Json::error_handler_t::replace);
  return reply;
}

Reply Reply::error(unsigned status, std::string code, std::string message) {
  return json(status, Json{{"error", std::move(code)}, {"message", std::move(message)}});
}

}  // namespace corvane::devcoordinator
