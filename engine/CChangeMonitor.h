// Change monitoring: the change device, the driver thread that drains written
// file records from it and publishes them on "NewFile", and the launch thread
// that polls launch reports and publishes them on "Launch".
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/CThread.h"
#include "common/EngineEvents.h"
#include "common/Settings.h"
#include "platform/changes/ChangeDevice.h"

// Reads written-file records from the device and publishes event 15 with each
// normalised path on its own "NewFile" channel.
class CDriverThread : public CThread {
 public:
  static constexpr size_t kBufferSize = 65536;

  // The device and the buffer stay owned by the caller and must outlive the
  // thread's body.
  CDriverThread(plat::ChangeDevice* device, uint8_t* buffer);
  // Stops a running body (stop word, then the stop-reporting request) and
  // waits for it.
  ~CDriverThread() override;

  CMEvent* Channel() { return &channel_; }
  void SetStop() { stop_.exchange(1); }
  bool StopRequested() const { return stop_.load(std::memory_order_relaxed) != 0; }

  // The reported path in its stored form: the drive ("X:\") or share
  // ("\\server\share\") prefix as reported, then its components as reported
  // (the change sources report the names the file system keeps), one
  // separator between them. False for paths that name neither a drive nor a
  // share.
  static bool NormalizePath(std::string_view reported, std::string* out);

  // Walks one buffer of packed records: stops at fewer than 4 bytes left, at
  // a count running past the end or at a missing zero terminator; skips
  // empty paths, paths holding a zero unit and paths NormalizePath refuses.
  // Hands each normalised path to publish; false when publish returned false
  // (the walk ends there), else true.
  static bool WalkRecords(const uint8_t* data, size_t size,
                          const std::function<bool(const std::string&)>& publish);

 protected:
  void Run() override;

 private:
  std::atomic<long> stop_{0};
  plat::ChangeDevice* device_;
  uint8_t* buffer_;
  CMEvent channel_{"NewFile"};
};

// Polls the device's launch report every 300 ms and publishes event 16 with
// the reported path on its own "Launch" channel. At the same pace it takes
// the device's lost changes: each asks every plan for a catch-up walk, and
// the first of each kind posts event 14 with a sentence saying what happened.
class CLaunchThread : public CThread {
 public:
  static constexpr uint32_t kPollMs = 300;
  static constexpr size_t kReportSize = 524;

  explicit CLaunchThread(plat::ChangeDevice* device);
  // Stops a running body and waits for it.
  ~CLaunchThread() override;

  CMEvent* Channel() { return &channel_; }
  // Sets the stop word and cuts the current pause short.
  void SetStop();

 protected:
  void Run() override;

 private:
  void TakeLostChanges();

  std::atomic<long> stop_{0};
  plat::ChangeDevice* device_;
  uint32_t lossesSaid_ = 0;  // kinds of loss already posted; this thread only
  std::mutex waitLock_;      // guards nothing but the pause between polls
  std::condition_variable wake_;
  CMEvent channel_{"Launch"};
};

// The process's change monitor. Start returns 0, 1000 (no device), 1001 (a
// device request failed) or 1 (a buffer or thread could not be made).
class CChangeMonitor {
 public:
  static constexpr const char* kDeviceName = "\\\\.\\Brevanto";

  static CChangeMonitor& Instance();

  CChangeMonitor() = default;
  // Stops both threads and releases the device.
  ~CChangeMonitor();
  CChangeMonitor(const CChangeMonitor&) = delete;
  CChangeMonitor& operator=(const CChangeMonitor&) = delete;

  // Opens the device and starts monitoring. A second call while started does
  // nothing and returns 0.
  int Start();
  // The same with a device that is already open (null: 1000).
  int Start(std::unique_ptr<plat::ChangeDevice> device);
  // Ends both threads and releases the device; nothing when not started.
  void Stop();

  // The folders the plans protect (system paths), handed to the device so
  // that they are watched wherever they lie; nothing while not started.
  void WatchFolders(const std::vector<std::string>& folders);
  // The system path under which the files of a protected folder are reported
  // (where it really lies when it is a link, lies below one or is a mount of
  // another folder); empty when it is missing or the monitor is not started.
  std::string ReportedFolder(const std::string& folder);
  // Written files whose names no record can carry, since the last call.
  std::vector<plat::UnheldName> TakeUnheldNames();

  bool IsStarted() const;
  // The driver thread's "NewFile" channel and the launch thread's "Launch"
  // channel; null while not started.
  CMEvent* NewFileChannel() const;
  CMEvent* LaunchChannel() const;

 private:
  int StartLocked(const DriverSettings& settings, std::unique_ptr<plat::ChangeDevice> device);
  // Ends whatever runs and releases everything. Caller holds lock_.
  void TearDownLocked();

  mutable std::mutex lock_;  // guards every field below
  std::unique_ptr<plat::ChangeDevice> device_;
  std::unique_ptr<uint8_t[]> buffer_;
  std::unique_ptr<CDriverThread> driver_;
  std::unique_ptr<CLaunchThread> launch_;
  bool started_ = false;
};
