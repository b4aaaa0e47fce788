#include "S3Redaction.h"

namespace tzs3 {

std::string Redactor::Redact(std::string text) const {
  std::vector<std::string> secrets = m_signatures;
  secrets.push_back(m_secret);
  for (const std::string& secret : secrets) {
    if (secret.empty()) continue;
    for (size_t at = text.find(secret); at != std::string::npos;
         at = text.find(secret, at + 5)) {
      text.replace(at, secret.size(), "*****");
    }
  }
  return text;
}

}  // namespace tzs3
