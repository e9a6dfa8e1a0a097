// A store's "Latest" tree in a temporary folder, pseudo-drives (image files
// standing for discs) and a reader of the written images that nobody here
// wrote: xorriso lists and extracts them.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "destinations/disc/CDiscBurn.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace bvtest {

// Output of a shell command (stderr dropped).
inline std::string Shell(const std::string& command) {
  std::string out;
  if (FILE* p = popen(("(" + command + ") 2>/dev/null").c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}
inline std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Files of an image as xorriso lists them, by their Rock Ridge (or Joliet) names.
inline std::set<std::string> ImageFiles(const std::string& image, bool joliet = false) {
  std::set<std::string> files;
  std::istringstream lines(Shell(std::string("xorriso ") + (joliet ? "-read_fs norock " : "") +
                                 "-indev " + Quote(image) + " -find / -type f"));
  for (std::string line; std::getline(lines, line);) {
    if (line.size() < 3 || line.rfind("'/", 0) != 0 || line.back() != '\'') continue;
    std::string path = line.substr(1, line.size() - 2);  // '/a/it'"'"'s' for /a/it's
    for (size_t at; (at = path.find("'\"'\"'")) != std::string::npos;) path.replace(at, 5, "'");
    files.insert(path);
  }
  return files;
}

// The image's files with their contents, extracted by xorriso into scratch.
inline std::map<std::string, std::string> ImageContents(const std::string& image,
                                                        const std::string& scratch) {
  const std::string dir = scratch + "/view";
  Shell("rm -rf " + Quote(dir) + " && mkdir -p " + Quote(dir));
  Shell("xorriso -osirrox on -indev " + Quote(image) + " -extract / " + Quote(dir));
  Shell("chmod -R u+rwX " + Quote(dir));
  return FilesBelow(dir);
}

// Runs a worker to its end; onWait(disc just written) answers each wait whether to go on.
template <typename OnWait>
void RunWorker(disc::CDiscBurn& worker, OnWait onWait) {
  ASSERT_EQ(worker.StartJob(), 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  uint32_t answered = 0;
  while (worker.Running() && std::chrono::steady_clock::now() < deadline) {
    if (worker.Waiting() && worker.WaitNumber() != answered) {
      answered = worker.WaitNumber();
      if (onWait(disc::Counters().discNumber.load())) {
        worker.NextDisc();
      } else {
        worker.Stop();
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_FALSE(worker.Running()) << "the worker did not end";
  worker.Join();
}

}  // namespace bvtest
