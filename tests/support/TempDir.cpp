#include "support/TempDir.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

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
  const char* tmp = std::getenv("TMPDIR");
  std::string name = (where == Where::kHome ? HomeTestBase() : tmp && *tmp ? tmp : "/tmp");
  name += "/bv-test-XXXXXX";
  if (!mkdtemp(name.data())) throw std::runtime_error("mkdtemp failed");
  native_ = fs::canonical(name).string();
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

std::string TempDir::SystemOf(const std::string& rel) const {
  return NativeToSystemC(NativeOf(rel));
}

std::string TempDir::Write(const std::string& rel, const std::string& content) const {
  WriteNative(NativeOf(rel), content);
  return NativeOf(rel);
}

std::string TempDir::Read(const std::string& rel) const { return ReadNative(NativeOf(rel)); }

std::string NativeToSystemC(const std::string& native) {
  std::string s = "C:" + native;
  for (char& c : s)
    if (c == '/') c = '\\';
  return s;
}

std::string ReadNative(const std::string& native) {
  std::ostringstream ss;
  ss << std::ifstream(native, std::ios::binary).rdbuf();
  return ss.str();
}

void WriteNative(const std::string& native, const std::string& content) {
  fs::create_directories(fs::path(native).parent_path());
  std::ofstream(native, std::ios::binary | std::ios::trunc) << content;
}

std::map<std::string, std::string> FilesBelow(const std::string& folder) {
  std::map<std::string, std::string> out;
  if (!fs::exists(folder)) return out;
  for (const auto& e : fs::recursive_directory_iterator(folder))
    if (e.is_regular_file())
      out[fs::relative(e.path(), folder).string()] = ReadNative(e.path().string());
  return out;
}

}  // namespace bvtest
