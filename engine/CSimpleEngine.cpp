#include "engine/CSimpleEngine.h"

#include <cstdio>
#include <vector>

#include "destinations/Destination.h"
#include "engine/EngineEvents.h"
#include "history/CLoggingDatabase.h"
#include "plans/CPlan.h"
#include "platform/Clock.h"
#include "platform/Errors.h"
#include "platform/Files.h"

namespace {

// Characters (code points) of a UTF-8 text.
size_t CharCount(std::string_view text) {
  size_t n = 0;
  for (unsigned char c : text) n += (c & 0xC0) != 0x80;
  return n;
}

void ToSeparator(std::string* path, char sep) {
  if (sep == '\\') return;
  for (char& c : *path) {
    if (c == '\\') c = sep;
  }
}

// "Code: %d, Error: %s", or empty when the system has no text for the code.
std::string CopyErrorText(uint32_t code) {
  const std::string message = plat::WinErrorMessage(code);
  if (message.empty() || message.rfind("Unknown error", 0) == 0) return {};
  char buffer[1024];
  std::snprintf(buffer, sizeof buffer, "Code: %d, Error: %s", static_cast<int>(code),
                message.c_str());
  return buffer;
}

// False only when the source is really gone (no such file or folder, or a
// folder now stands in its place). Any other failure to look at it (a name too
// long, access denied) is left to the copy, which then reports the real error
// and keeps the record for a retry instead of marking it gone for good.
bool SourceFileExists(std::string_view path) {
  const uint32_t attributes = plat::GetFileAttributes(path);
  if (attributes == plat::kInvalidAttributes) {
    const uint32_t error = plat::GetLastError();
    return error != plat::kErrFileNotFound && error != plat::kErrPathNotFound;
  }
  return (attributes & plat::kAttrDirectory) == 0;
}

// Writes the record (appending when *offset is 0) and keeps *offset current.
// A new record whose path another thread appended meanwhile rewrites that one.
void StoreRecord(CLoggingDatabase* db, const LogRecord& record, uint64_t* offset) {
  std::lock_guard<std::recursive_mutex> guard(db->Mutex());
  if (*offset == 0) {
    uint64_t existing = 0;
    if (db->Lookup(record.PathUtf8(), &existing)) *offset = existing;
  }
  uint64_t appendedAt = 0;
  if (db->WriteRecord(*offset, record, &appendedAt) == CLoggingDatabase::kOk && *offset == 0) {
    *offset = appendedAt;
  }
}

}  // namespace

StoreNames MakeStoreNames(std::string_view root, std::string_view source, char sep) {
  StoreNames names;
  const size_t slash = source.rfind('\\');
  std::string relative;
  if (slash != std::string_view::npos) {
    for (char c : source.substr(0, slash + 1)) {
      if (c != ':') relative += c;
    }
  }
  const std::string_view fileName =
      slash == std::string_view::npos ? source : source.substr(slash + 1);
  const size_t dot = fileName.rfind('.');
  if (dot == std::string_view::npos) {
    names.stem = std::string(fileName);
  } else {
    names.stem = std::string(fileName.substr(0, dot));
    names.extension = std::string(fileName.substr(dot + 1));
  }
  // Roots are stored with or without their closing separator.
  std::string base(root);
  if (!base.empty() && base.back() != '\\' && base.back() != '/') base += '\\';
  names.latestFolder = base + "Latest\\" + relative;
  names.revisionFolder = base + "Revision\\" + relative;
  ToSeparator(&names.latestFolder, sep);
  ToSeparator(&names.revisionFolder, sep);
  names.latestName = names.latestFolder + std::string(fileName);
  return names;
}

std::string VersionName(std::string_view folder, std::string_view stem, std::string_view ext,
                        int64_t n) {
  std::string name(folder);
  name += stem;
  if (n > 0) {
    char number[32];
    std::snprintf(number, sizeof number, "(%04lld)", static_cast<long long>(n));
    name += number;
  }
  if (!ext.empty()) {
    name += '.';
    name += ext;
  }
  return name;
}

int32_t CSimpleEngine::BackupFile(std::string_view source, bool existenceCheck, LogRecord* record,
                                  uint64_t offset) {
  const int64_t start = plat::Now();
  if (plan_ == nullptr || CharCount(source) <= 2) return kBackupBadArgument;
  CLoggingDatabase* db = plan_->Database();
  if (db == nullptr) return 0;

  // The record: the caller's, or looked up by path (a new one when absent).
  LogRecord local;
  LogRecord* rec = record != nullptr ? record : &local;
  if (record == nullptr || offset == 0) {
    std::lock_guard<std::recursive_mutex> guard(db->Mutex());
    offset = 0;
    if (db->Lookup(source, &offset)) {
      uint64_t next = 0;
      bool found = false;
      if (db->ReadRecord(offset, rec, &next, &found) != CLoggingDatabase::kOk || !found) {
        return kBackupRecordFailed;
      }
    } else {
      *rec = LogRecord();
      if (!rec->SetPath(source)) return kBackupBadArgument;
    }
  }

  // Plan fields are read under the plan's lock, which is never held while the
  // database's lock is taken (a journal walk takes them the other way round).
  uint32_t planId;
  int32_t versions;
  // Held for the whole copy: a change of the plan may replace the destination
  // meanwhile, and the old one must outlive this use.
  std::shared_ptr<CDestination> held;
  bool stopping;
  {
    std::lock_guard<std::recursive_mutex> guard(plan_->Lock());
    planId = plan_->Id();
    versions = plan_->VersionNumber();
    held = plan_->SharedDestination();
    stopping = plan_->Stopping();
  }
  if (stopping) {
    rec->state = kLogPending;
    StoreRecord(db, *rec, &offset);
    return kBackupStopping;
  }
  CDestination* dest = held.get();
  if (dest == nullptr) return kBackupBadArgument;

  const StoreNames names = MakeStoreNames(dest->GetRootPath(), source, dest->GetPathSeparator());
  if (existenceCheck && dest->FileExists(names.latestName)) return kBackupExists;

  std::vector<VersionEntry> listed;
  const int64_t highest =
      dest->ListVersions(names.revisionFolder, names.stem, names.extension, &listed);
  PostEvent(kEvFileBackupBegins, source, planId);

  // Rotation: the previous latest copy becomes revision highest + 1, and
  // revisions beyond the version count go. Failures here are not reported;
  // the copy below still replaces the latest copy.
  if (versions > 1 && dest->FileExists(names.latestName)) {
    const std::string revision =
        VersionName(names.revisionFolder, names.stem, names.extension, highest + 1);
    dest->CreateFolders(revision);
    dest->MoveFile(names.latestName, revision);
  }
  for (const VersionEntry& entry : listed) {
    if (entry.number < highest - versions + 3) dest->DeleteFile(entry.path);
  }

  if (!SourceFileExists(source)) {
    if (offset != 0) {
      rec->state = kLogSourceGone;
      StoreRecord(db, *rec, &offset);
    }
    PostEvent(kEvFileFailed, source, planId, names.latestName, "source file not found",
              kBackupSourceMissing);
    return kBackupSourceMissing;
  }

  dest->CreateFolders(names.latestName);
  const uint32_t error = dest->CopyFile(source, names.latestName);
  if (error == plat::kErrCancelled) {
    // The plan's thread was told to stop during the copy: the file waits.
    rec->state = kLogPending;
    StoreRecord(db, *rec, &offset);
    return kBackupStopping;
  }
  if (error == 0) {
    rec->state = kLogCopied;
    rec->lastBackupTime = start;
    rec->failedAttempts = 0;
    PostEvent(kEvFileCopied, source, planId, names.latestName, {}, 0);
  } else {
    rec->state = kLogFailed;
    rec->failedAttempts += 1;
    PostEvent(kEvFileFailed, source, planId, names.latestName, CopyErrorText(error),
              static_cast<int32_t>(error));
  }
  rec->changeTime = start;
  rec->lastAttemptTime = start;
  StoreRecord(db, *rec, &offset);
  return static_cast<int32_t>(error);
}
