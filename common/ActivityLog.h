// The activity log: human-readable records of copied and failed files and of
// plan events, appended to day files "<folder>\YYYYMMDD_<n>.log" that are
// split at 524,288 bytes. The activity logger (ActivityLogger.h) feeds it
// from both global event channels.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/EngineEvents.h"
#include "platform/files/Files.h"

// What a record needs to know about a plan, filled by the plan list.
struct PlanInfoForLog {
  std::string name;
  int32_t scheduleUnit = 0;
  int32_t versionNumber = 0;
  std::string storePath;  // the destination's root path
  int32_t storageType = 0;
  std::string usbModel, usbVendor;
};

// Fills *info for a plan identifier; false when no such plan exists.
using PlanInfoProvider = std::function<bool(uint32_t planId, PlanInfoForLog* info)>;
// Installs the lookup the log uses for plan names (empty: every lookup fails).
void SetPlanInfoProvider(PlanInfoProvider provider);
bool LookUpPlanForLog(uint32_t planId, PlanInfoForLog* info);

// The text with every control character (C0, DEL, C1, the Unicode line and
// paragraph separators) written as "\xNN" or "\uNNNN", so that a name can
// never break a log line or a message in two.
std::string EscapeControls(std::string_view text);

// A path for a record: the native path when it names a volume or share
// (people read the log), escaped as EscapeControls does.
std::string LogPath(std::string_view path);

// True for the events that say a file or a plan is not protected (problems
// the user has to hear about).
bool IsProtectionProblem(int32_t code);
// True for the events that write a record (those that need a plan, and the
// protection problems, which are written with or without one).
bool WritesLogRecord(int32_t code);

// Builds the record text of an event (without the closing line break); false
// for events that write no record. Every text taken from the event or the
// plan is escaped. plan is null when the event names no known plan.
bool BuildLogRecord(const EventData& event, const PlanInfoForLog* plan, std::string_view time,
                    std::string* text);

// One set of log files. The process uses Instance(); tests may make their own.
class CLogSet {
 public:
  static constexpr uint64_t kMaxFileSize = 524288;
  static CLogSet& Instance();

  CLogSet() = default;
  CLogSet(const CLogSet&) = delete;
  CLogSet& operator=(const CLogSet&) = delete;

  // Stores the folder (with a closing "\"), creating it with its parents when
  // it cannot be entered. False when it does not exist afterwards.
  bool SetLogFolder(std::string_view path);
  std::string LogFolder();
  // Appends text plus CR LF, every LF turned into CR LF. False when the file
  // cannot be opened or written.
  bool AppendRecord(std::string_view text);
  // Appends each text as AppendRecord does, in order, looking whether the
  // open file is still the current one once for the whole batch. Returns how
  // many were written.
  size_t AppendRecords(const std::vector<std::string>& texts);
  // Writes the record of an event; false when it writes none.
  bool LogEvent(const EventData& event);
  // Writes the records of events in order as one batch; returns how many.
  size_t LogEvents(const std::deque<EventData>& events);
  // The file written last (empty before the first record).
  std::string CurrentFile();

 private:
  std::string ChooseFileLocked();
  // Makes file_ the file the next record goes to, positioned at its end;
  // lookAgain: check first that the open file is still current_ on disk.
  bool OpenNextLocked(bool lookAgain);
  bool AppendLocked(std::string_view text, bool lookAgain);

  std::mutex lock_;  // guards folder_, current_, file_ and fileEnd_, and serialises writing
  std::string folder_;
  std::string current_;
  // current_, kept open between records while it is still the file its name
  // names, writable and not full; fileEnd_ is where the last write ended.
  plat::File file_;
  uint64_t fileEnd_ = 0;
};

// Data folder + "log\".
std::string DefaultLogFolder();
