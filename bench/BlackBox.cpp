#include "BlackBox.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/TempDir.h"

extern char** environ;

namespace fs = std::filesystem;

namespace bvbench {

bool Full() {
  const char* v = std::getenv("BV_BENCH_FULL");
  return v != nullptr && *v != '\0' && std::string(v) != "0";
}

double CpuSecondsOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::vector<std::string> fields;
  size_t at = close + 2;
  while (at < text.size()) {
    size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    fields.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  // After the name: state is field 3; utime and stime are fields 14 and 15.
  if (fields.size() < 13) return -1;
  const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  return (std::stod(fields[11]) + std::stod(fields[12])) / ticks;
}

double PeakRssMbOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  }
  return -1;
}

double ChildrenCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_CHILDREN, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

CommandCost RunTimed(const std::string& command) {
  CommandCost cost;
  const double cpu = ChildrenCpuSeconds();
  const auto begin = Clock::now();
  cost.ok = std::system(command.c_str()) == 0;
  cost.wall = Seconds(Clock::now() - begin);
  cost.cpu = ChildrenCpuSeconds() - cpu;
  return cost;
}

bool ProgramRun::Start(const std::map<std::string, std::string>& extra,
                       const std::vector<std::string>& wrapper) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (eq) env[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
  }
  auto apply = [&env](const std::string& k, const std::string& v) {
    if (v.empty()) {
      env.erase(k);
    } else {
      env[k] = v;
    }
  };
  for (const auto& [k, v] : data_.Environment(true)) apply(k, v);
  for (const auto& [k, v] : extra) apply(k, v);
  std::vector<std::string> texts;
  for (const auto& [k, v] : env) texts.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (std::string& t : texts) envp.push_back(t.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = wrapper;
  args.push_back(BV_EXE_PATH);
  args.push_back("-s");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string err = data_.StderrLog();
  pid_ = fork();
  if (pid_ == 0) {
    const int fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) dup2(fd, 2);
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, 1);
    execvpe(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  if (pid_ < 0) return false;
  const auto limit = Clock::now() + std::chrono::seconds(60);
  while (Clock::now() < limit) {
    const std::string trace = bvtest::ReadNative(data_.TraceLog());
    if (trace.find("hidden") != std::string::npos || trace.find("shown") != std::string::npos)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::fprintf(stderr, "the program did not start; its stderr:\n%s\ntrace:\n%s\n", Stderr().c_str(),
               bvtest::ReadNative(data_.TraceLog()).c_str());
  return false;
}

pid_t ProgramRun::ProgramPid() const {
  // Under a wrapper the program is the wrapper's only child.
  std::ifstream in("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) + "/children");
  long child = 0;
  if (in >> child && child > 0) return static_cast<pid_t>(child);
  return pid_;
}

bool ProgramRun::Terminate(int seconds) {
  if (pid_ <= 0) return true;
  kill(ProgramPid(), SIGTERM);
  const auto limit = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < limit) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  Kill();
  return false;
}

void ProgramRun::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::string ProgramRun::Stderr() const { return bvtest::ReadNative(data_.StderrLog()); }

bool LogTail::Has(const std::string& text) {
  if (seen_[text]) return true;
  std::error_code ec;
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(data_.Data("log"), ec)) {
    if (entry.is_regular_file(ec)) files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  for (const std::string& file : files) {
    std::ifstream in(file, std::ios::binary);
    long long& done = read_[file];
    in.seekg(done);
    std::string fresh((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    done += static_cast<long long>(fresh.size());
    tail_ += fresh;
  }
  // Keep only the last line's start: a record split across reads is found next time.
  for (auto& [want, found] : seen_) {
    if (!found && tail_.find(want) != std::string::npos) found = true;
  }
  const size_t cut = tail_.rfind('\n');
  if (cut != std::string::npos) tail_.erase(0, cut + 1);
  return seen_[text];
}

}  // namespace bvbench
