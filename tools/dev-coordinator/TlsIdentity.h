#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include <boost/asio/ssl/context.hpp>

namespace corvane::devcoordinator {

// A throwaway certificate authority and a server certificate it signs for
// 127.0.0.1, ::1 and localhost, made fresh at every start (EC P-256 keys,
// valid for a few days). Clients trust the authority's certificate (caPem)
// and so verify the server exactly as they would a real one.
class TlsIdentity {
 public:
  // Throws std::runtime_error when OpenSSL fails.
  static TlsIdentity generate();

  const std::string& caPem() const { return caPem_; }
  const std::string& certificatePem() const { return certificatePem_; }
  const std::string& keyPem() const { return keyPem_; }

  // Writes the authority's certificate to path with mode 0644 (it is public),
  // through a temporary file and a rename.
  void writeCa(const std::filesystem::path& path) const;

  // A server context: TLS 1.2 or later, the server certificate and key.
  std::shared_ptr<boost::asio::ssl::context> serverContext() const;

 private:
  std::string caPem_;
  std::string certificatePem_;
  std::string keyPem_;
};

}  // namespace corvane::devcoordinator
