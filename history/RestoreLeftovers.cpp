#include "history/RestoreLeftovers.h"

#include <cstdlib>
#include <mutex>

#include "common/ActivityLog.h"
#include "common/Settings.h"
#include "platform/files/Files.h"
#include "platform/files/FilesBelow.h"
#include "platform/process/Clock.h"
#include "platform/profile/Folders.h"
#include "platform/profile/Profile.h"
#include "platform/volumes/Paths.h"

namespace {

std::mutex g_notesLock;  // guards the notes file: one writer at a time

std::string NotesFile() { return GetDataFolder() + "RestoreLeftovers.ini"; }

std::string SectionOf(const plat::FileId& id) {
  return std::to_string(id.device) + "-" + std::to_string(id.inode);
}

uint64_t ToNumber(const std::string& text) { return std::strtoull(text.c_str(), nullptr, 10); }

}  // namespace

void RestoreLeftoverNote::Note(const plat::IncomingFile& file) {
  Forget();
  std::string path;
  plat::FileId id;
  if (!file.Temporary(&path, &id)) return;
  std::lock_guard<std::mutex> guard(g_notesLock);
  if (!plat::EnsureDataFolder()) return;
  const std::string notes = NotesFile(), section = SectionOf(id);
  if (plat::WriteProfileString(notes, section, "Path", path.c_str()) &&
      plat::WriteProfileString(notes, section, "Device", std::to_string(id.device).c_str()) &&
      plat::WriteProfileString(notes, section, "Inode", std::to_string(id.inode).c_str()))
    section_ = section;
}

void RestoreLeftoverNote::Forget() {
  if (section_.empty()) return;
  std::lock_guard<std::mutex> guard(g_notesLock);
  plat::WriteProfileString(NotesFile(), section_, nullptr, nullptr);
  section_.clear();
}

uint32_t SweepRestoreLeftovers() {
  std::lock_guard<std::mutex> guard(g_notesLock);
  const std::string notes = NotesFile();
  if (!plat::FileExists(notes)) return 0;
  uint32_t removed = 0;
  for (const std::string& section : plat::GetProfileSectionNames(notes)) {
    const std::string path = plat::GetProfileString(notes, section, "Path", "", 4095);
    const plat::FileId noted{ToNumber(plat::GetProfileString(notes, section, "Device", "", 40)),
                             ToNumber(plat::GetProfileString(notes, section, "Inode", "", 40))};
    plat::FileId now;
    // Only the very file noted: a file that took its name since stays.
    if (!path.empty() && plat::GetFileId(path, &now) && now == noted && plat::DeleteFile(path)) {
      ++removed;
      std::string native;
      plat::ToNativePath(path, &native);
      CLogSet::Instance().AppendRecord("#Restore Leftover Removed\nTime = " +
                                       plat::AscTime(plat::Now()) + "\nFile = " + native + "\n");
    }
    plat::WriteProfileString(notes, section, nullptr, nullptr);
  }
  if (plat::GetProfileSectionNames(notes).empty()) plat::DeleteFile(notes);
  return removed;
}
