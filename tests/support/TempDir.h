// A temporary folder for one test, removed at the end: Native() the Linux path, System() the
// system path ("C:\tmp\bv-XXXX"), both without a closing separator.
#pragma once
#include <map>
#include <string>

namespace bvtest {

class TempDir {
 public:
  // kHome: below HomeTestBase(), for files a plan must take (plans leave /tmp out).
  enum class Where { kTmp, kHome };
  explicit TempDir(Where where = Where::kTmp);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Native() const { return native_; }
  const std::string& System() const { return system_; }
  // Native and system paths of a relative name ("a/b.txt").
  std::string NativeOf(const std::string& rel) const { return native_ + "/" + rel; }
  std::string SystemOf(const std::string& rel) const;
  // Writes a file (creating its folders) and returns its native path.
  std::string Write(const std::string& rel, const std::string& content) const;
  std::string Read(const std::string& rel) const;

 private:
  std::string native_;
  std::string system_;
};

// $HOME/bv-tests (made when missing): a test folder outside /tmp.
std::string HomeTestBase();

// Native /a/b -> "C:\a\b" (valid while C: is "/", the real table's rule).
std::string NativeToSystemC(const std::string& native);
// Reads a whole native file ("" when missing); writes one, making its folders.
std::string ReadNative(const std::string& native);
void WriteNative(const std::string& native, const std::string& content);
// Every regular file below a native folder: relative path -> contents.
std::map<std::string, std::string> FilesBelow(const std::string& folder);

}  // namespace bvtest
