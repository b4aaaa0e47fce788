// Error texts of the S3 store never hold the secret key or a request's
// signature, even where a server echoes what it was sent.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tzs3 {

class Redactor {
 public:
  explicit Redactor(std::string secret) : m_secret(std::move(secret)) {}

  // The signatures of the call being answered: each try adds its own; an
  // answer made ahead brings the one of its request.
  void Forget() { m_signatures.clear(); }
  void Add(const std::string& signature) { m_signatures.push_back(signature); }

  // `text` with the secret and the call's signatures replaced by "*****".
  std::string Redact(std::string text) const;

 private:
  const std::string m_secret;
  std::vector<std::string> m_signatures;
};

}  // namespace tzs3
