// Why a plan cannot copy now, in one record that the card, the notification
// icon (its image and tool tip), the pop-ups and the icon's menu all read:
// the kind, the words, since when, and the disk's label when it is known.
// Made from the plan's snapshot (availability and since when it is away, the
// last copy's error, the room a refused copy waits for), its free space and
// whether its server showed a key other than the trusted one. No Qt.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "ui/model/PlanSnapshot.h"

enum class ProblemKind {
  kNone,
  kDiskAway,           // the disk of the store is not connected
  kDiskFull,           // too little room on it
  kNotWritable,        // the store cannot be written (read-only, no permission)
  kServerUnreachable,  // the server or network folder cannot be reached
  kKeyNotTrusted,      // the server's key is not the one trusted for it, or not trusted yet
  kNotEncrypted,       // the server refused the encryption the plan requires
  kNotRecording,       // the journal cannot record changes (the data folder's disk)
  kStoreRefused,       // the store where the plan's lies is refused (another's, nested)
  kOther,              // copies fail for another reason
};

struct PlanProblem {
  ProblemKind kind = ProblemKind::kNone;
  std::string words;    // "the disk BACKUP is not connected since 14:05"
  int64_t since = 0;    // 0 when not known
  std::string label;    // the disk's volume label; empty when not known
  uint64_t needed = 0;  // a full disk: the bytes more that are needed (0: not known)

  bool Any() const { return kind != ProblemKind::kNone; }
  // Copies fail until the user acts (a failure); a disk or server away only
  // holds the copies back until it is there again (a warning).
  bool Failure() const {
    return kind != ProblemKind::kNone && kind != ProblemKind::kDiskAway &&
           kind != ProblemKind::kServerUnreachable;
  }
  bool operator==(const PlanProblem& o) const {
    return kind == o.kind && words == o.words && since == o.since;
  }
};

// The plan's problem now; none for a plan the user paused or one at rest
// (a manual plan), which copy nothing by choice. label is the disk's volume
// label when known ("" otherwise); serverRefused: the event that said its
// server was not used (kEvServerKeyUntrusted, kEvServerNotEncrypted;
// kEvServerUnreachable: it refused the login; any other non-zero value: its
// server showed another key), 0 for none.
PlanProblem FindProblem(const PlanSnapshot& s, const SpaceFigures& space, int32_t serverRefused,
                        const std::string& label, int64_t now);

// A plan whose store was refused where it lies, in the refusal's own words:
// it waits for the user to choose another place, not for a server or disk.
PlanProblem StoreRefusedProblem(const std::string& words);

// "14:05" for a time of today, else the date and time as the cards write them.
std::string SinceText(int64_t t, int64_t now);
// "Documents: the disk BACKUP is not connected since 14:05".
std::string ProblemLine(const std::string& planName, const PlanProblem& problem);
// The pop-up for plans that began to only record: one line per plan with its
// problem (ProblemLine), then what becomes of their changes.
std::string ProblemPopupText(const std::vector<std::string>& lines);
