#include "support/TempDir.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

namespace bvtest {

std::string HomeTestBase() {
  const char* home = std::getenv("HOME");
  const std::string base = std::string(home && *home ? home : "/root") + "/bv-tests";
  std::error_code ec;
  fs::create_directories(base, ec);
  return base;
}

TempDir::TempDir(Where where) {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl =
      (where == Where::kHome ? HomeTestBase() : std::string(base && *base ? base : "/tmp")) +
      "/bv-test-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  native_ = fs::canonical(buf.data()).string();
  system_ = NativeToSystemC(native_);
}

TempDir::~TempDir() {
  std::error_code ec;
  // Read-only folders made by tests must not stop the clean-up.
  for (auto it = fs::recursive_directory_iterator(
           native_, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(native_, ec);
}

std::string TempDir::NativeOf(const std::string& rel) const { return native_ + "/" + rel; }

std::string TempDir::SystemOf(const std::string& rel) const {
  std::string r = rel;
  for (char& c : r)
    if (c == '/') c = '\\';
  return system_ + "\\" + r;
}

std::string TempDir::Write(const std::string& rel, const std::string& content) const {
  std::string p = NativeOf(rel);
  WriteNative(p, content);
  return p;
}

std::string TempDir::Read(const std::string& rel) const { return ReadNative(NativeOf(rel)); }

std::string NativeToSystemC(const std::string& native) {
  std::string s = "C:" + native;
  for (char& c : s)
    if (c == '/') c = '\\';
  return s;
}

std::string ReadNative(const std::string& native) {
  std::ifstream in(native, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteNative(const std::string& native, const std::string& content) {
  fs::create_directories(fs::path(native).parent_path());
  std::ofstream out(native, std::ios::binary | std::ios::trunc);
  out << content;
}

std::map<std::string, std::string> FilesBelow(const std::string& folder) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> out;
  if (!fs::exists(folder)) return out;
  for (const auto& e : fs::recursive_directory_iterator(folder))
    if (e.is_regular_file())
      out[fs::relative(e.path(), folder).string()] = ReadNative(e.path().string());
  return out;
}

}  // namespace bvtest
