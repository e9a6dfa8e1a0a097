#include "destinations/CurlKeys.h"

#include <string>
#include <string_view>

int NoteCurlKeyText(CURL*, curl_infotype type, char* data, size_t size, void* out) {
  if (type != CURLINFO_TEXT) return 0;
  std::string_view line(data, size);
  constexpr std::string_view kLead = "public key hash: ";
  const size_t at = line.find(kLead);
  if (at == std::string_view::npos) return 0;
  line = line.substr(at + kLead.size());
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
    line.remove_suffix(1);
  if (line.rfind("sha256//", 0) == 0) *static_cast<std::string*>(out) = std::string(line);
  return 0;
}
