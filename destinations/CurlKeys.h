// The key a server shows, taken from libcurl's account of its pin check: the
// FTP and object sessions both offer it for trust. Internal to destinations/.
#pragma once
#include <curl/curl.h>

#include <cstddef>

// A CURLOPT_DEBUGFUNCTION: stores "sha256//BASE64" from the line
// " public key hash: sha256//BASE64" into the std::string at out.
int NoteCurlKeyText(CURL*, curl_infotype type, char* data, size_t size, void* out);
