#pragma once

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "dev-coordinator/testing/DevCoordinator.h"
#include "dev-coordinator/testing/HttpExchange.h"

namespace corvane::test {

// A coordinator per test and a plain JSON POST to its HTTP port.
class CoordinatorFixture : public ::testing::Test {
 protected:
  HttpExchangeResponse post(const std::string& path, const nlohmann::json& body,
                            std::vector<std::pair<std::string, std::string>> extraHeaders = {}) {
    auto request = HttpExchangeRequest::json(path, body);
    for (auto& header : extraHeaders) request.headers.push_back(std::move(header));
    return httpExchange("127.0.0.1", coordinator.httpPort(), request);
  }

  HttpExchangeResponse postWithSession(const std::string& path, const nlohmann::json& body, const std::string& token) {
    return post(path, body, {{"Authorization", "Bearer " + token}});
  }

  DevCoordinator coordinator;
};

}  // namespace corvane::test
