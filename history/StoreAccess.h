// How the restore reads a plan's store: list a folder, fetch (open and copy
// out) a file. Local, USB and network stores are folders read through the
// platform's file calls; an FTP store plugs its own access in here
// (MakeStoreAccess), so the version listing, the search and the carrier all
// read the store through the same few calls.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "platform/files/Files.h"

struct RestoreStore;

class StoreAccess {
 public:
  virtual ~StoreAccess() = default;
  // Opens what the store needs; false with a trace text when it cannot.
  virtual bool Reach(std::string* failure) = 0;
  // Last write of a folder, seconds since 1970 UTC; false when unknown.
  virtual bool FolderTime(std::string_view folder, int64_t* time) = 0;
  // Calls each for every entry of the folder except "." and ".." until it
  // returns false. False when the folder cannot be listed at all.
  virtual bool List(std::string_view folder,
                    const std::function<bool(const plat::FindData&)>& each) = 0;
  // Like List, for walks that need the sizes and times of few entries: where
  // those cost a call per entry, entries come with their names and
  // kAttrDirectory only and *brief is set; Info() then fetches one.
  virtual bool ListNames(std::string_view folder,
                         const std::function<bool(const plat::FindData&)>& each, bool* brief) {
    *brief = false;
    return List(folder, each);
  }
  // Like List, for the version listing: entries come with their names,
  // kAttrDirectory and a file's size and last write only (a folder's time
  // and other attributes may be left out), so that a folder costs no call
  // of its own where the listing says what it is.
  virtual bool ListSized(std::string_view folder,
                         const std::function<bool(const plat::FindData&)>& each) {
    return List(folder, each);
  }
  // Like ListSized, for a "Revision" folder as the version listing opens
  // it: where the server looks at every entry to tell its kind, size and
  // time, entries come with their names only (attributes 0) and *bare is
  // set; the caller tells revisions from folders by their names.
  virtual bool ListRevisions(std::string_view folder,
                             const std::function<bool(const plat::FindData&)>& each, bool* bare) {
    *bare = false;
    return ListSized(folder, each);
  }
  // Whether listed times are to the second (an SFTP server's long listing
  // gives minutes, or only days for older files).
  virtual bool ExactTimes() const { return true; }
  // Size and last write of one store file; false when it is gone.
  virtual bool Info(std::string_view, plat::FindData*) { return false; }
  // Copies one store file to a local target, overwriting it: 0 or an error
  // number. No link is followed below targetWithin (when not empty).
  virtual uint32_t Fetch(std::string_view source, std::string_view target,
                         std::string_view targetWithin) = 0;
  // Told during each download Fetch makes of the bytes of that file
  // received so far (empty: nobody asks). Copies from a folder say nothing.
  void SetFetchProgress(std::function<void(uint64_t)> received) { received_ = std::move(received); }
  virtual uint64_t InitialSpeed() const = 0;
  // A failed fetch fails the whole restore (downloads) or only that file.
  virtual bool FetchFailureFailsRestore() const = 0;
  virtual const char* FetchFailureKey() const = 0;
  // Whether the last failed fetch failed here, at the local target (a
  // folder that cannot be written, a link, a full disk), not at the store.
  virtual bool FetchFailedHere() const { return true; }

 protected:
  const std::function<void(uint64_t)>& Received() const { return received_; }

 private:
  std::function<void(uint64_t)> received_;  // used by the job's thread only
};

// The access for the store's kind.
std::unique_ptr<StoreAccess> MakeStoreAccess(const RestoreStore& store);

// A failure text of section "DIALOG_RESTORE", a blank and its argument; the
// key stands in when the text store lacks it.
std::string RestoreFailureText(const char* key, std::string_view argument);
// Why a file could not be restored, in the words of section
// "DIALOG_RESTORE" ("REASON_" and the error number), else the system's.
std::string RestoreReasonText(uint32_t error);
