#include "ui/main/PlanProblem.h"

#include <algorithm>

#include "common/ActivityLog.h"
#include "common/EngineEvents.h"
#include "common/PlanSettings.h"
#include "common/Texts.h"
#include "platform/base/Errors.h"
#include "platform/process/Clock.h"
#include "ui/model/CellTexts.h"
#include "ui/widgets/TextFormat.h"

namespace {

std::string Words(const char* key) { return GetText("PLAN_PROBLEM", key); }

// The server of a store: "host" of "ftp://host/root/", "server" of
// "\\server\share"; empty when the store names none.
std::string ServerOf(const PlanSnapshot& s) {
  if (s.storageType == kStorageObject) return s.endpointHost;
  if (s.storageType == kStorageFtp) {
    const size_t start = s.serverStore.find("://");
    if (start == std::string::npos) return {};
    const size_t end = s.serverStore.find('/', start + 3);
    return s.serverStore.substr(start + 3, end == std::string::npos ? end : end - start - 3);
  }
  if (s.root.rfind("\\\\", 0) != 0) return {};
  return s.root.substr(2, s.root.find('\\', 2) - 2);
}

PlanProblem Away(const PlanSnapshot& s, const std::string& label, int64_t since, int64_t now,
                 bool loginRefused) {
  PlanProblem p;
  p.since = since;
  const std::string when = SinceText(since > 0 ? since : now, now);
  if (s.storageType == kStorageNetwork || IsServerStorage(s.storageType)) {
    p.kind = ProblemKind::kServerUnreachable;
    const std::string server = ServerOf(s);
    p.words = server.empty()
                  ? FormatText(Words("NETWORK_UNREACHABLE"), {when})
                  : FormatText(Words(loginRefused ? "SERVER_LOGIN_REFUSED" : "SERVER_UNREACHABLE"),
                               {server, when});
    return p;
  }
  p.kind = ProblemKind::kDiskAway;
  p.label = label;
  p.words = label.empty() ? FormatText(Words("DISK_AWAY"), {when})
                          : FormatText(Words("DISK_AWAY_LABEL"), {label, when});
  return p;
}

PlanProblem Full(uint64_t needed) {
  PlanProblem p;
  p.kind = ProblemKind::kDiskFull;
  p.needed = needed;
  p.words = needed == 0 ? Words("DISK_FULL")
                        : FormatText(Words("DISK_FULL_NEEDED"), {FormatSize(needed, "", false)});
  return p;
}

}  // namespace

PlanProblem StoreRefusedProblem(const std::string& words) {
  PlanProblem p;
  p.kind = ProblemKind::kStoreRefused;
  p.words = EscapeControls(words);
  return p;
}

std::string SinceText(int64_t t, int64_t now) {
  if (plat::FormatLocalTime(t, "%Y%m%d") == plat::FormatLocalTime(now, "%Y%m%d"))
    return plat::FormatLocalTime(t, "%H:%M");
  return FormatCellDate(t);
}

std::string ProblemLine(const std::string& planName, const PlanProblem& problem) {
  return FormatText(Words("PLAN_LINE"), {EscapeControls(planName), problem.words});
}

PlanProblem FindProblem(const PlanSnapshot& s, const SpaceFigures& space, int32_t serverRefused,
                        const std::string& label, int64_t now) {
  PlanProblem none;
  if (!s.enabled || !s.hasDestination) return none;
  if (s.unrecorded != 0) {
    PlanProblem p;
    p.kind = ProblemKind::kNotRecording;
    p.words = FormatText(Words("NOT_RECORDING"), {CopyErrorWords(s.unrecorded)});
    return p;
  }
  if (serverRefused != 0 && serverRefused != kEvServerUnreachable) {
    PlanProblem p;
    p.kind = serverRefused == kEvServerNotEncrypted ? ProblemKind::kNotEncrypted
                                                    : ProblemKind::kKeyNotTrusted;
    p.words = Words(serverRefused == kEvServerNotEncrypted   ? "NOT_ENCRYPTED"
                    : serverRefused == kEvServerKeyUntrusted ? "KEY_UNTRUSTED_YET"
                                                             : "KEY_NOT_TRUSTED");
    return p;
  }
  if (!s.available) return Away(s, label, s.awaySince, now, serverRefused == kEvServerUnreachable);
  if (s.copyError == plat::kErrDiskFull) {
    PlanProblem p = Full(space.measured && space.ok && space.freeBytes < kTooFullBytes
                             ? kTooFullBytes - space.freeBytes
                             : 0);
    p.since = s.failingSince;
    return p;
  }
  if (s.copyError != 0) {
    PlanProblem p;
    p.since = s.failingSince;
    switch (s.copyError) {
      case 5:   // access denied
      case 19:  // write protected
        p.kind = ProblemKind::kNotWritable;
        p.words = FormatText(Words("NOT_WRITABLE"), {CopyErrorWords(s.copyError)});
        return p;
      case 21:    // device not ready
      case 53:    // network path not found
      case 64:    // network name gone
      case 1167:  // device not connected
        return Away(s, label, s.failingSince, now, false);
      default:
        p.kind = ProblemKind::kOther;
        p.words = FormatText(Words("OTHER"), {CopyErrorWords(s.copyError)});
        return p;
    }
  }
  if (HasMeasuredSpace(s) && space.measured && space.ok) {
    if (space.freeBytes < kTooFullBytes) return Full(kTooFullBytes - space.freeBytes);
  }
  // Other files are copied, but one waits for room: said until it is copied.
  if (s.roomWanted != 0) {
    const bool known = space.measured && space.ok;
    return Full(known && s.roomWanted > space.freeBytes ? s.roomWanted - space.freeBytes : 0);
  }
  return none;
}

std::string ProblemPopupText(const std::vector<std::string>& lines) {
  std::string joined;
  for (const std::string& line : lines) joined += (joined.empty() ? "" : ".\n") + line;
  return FormatText(Words(lines.size() > 1 ? "POPUP_MANY" : "POPUP_ONE"), {joined});
}
