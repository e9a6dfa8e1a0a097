// Which revisions of one file a rotation keeps when a plan keeps versions by
// age. A pure rule: the revisions' times and the clock come in, the numbers
// to keep go out.
#pragma once
#include <cstdint>
#include <vector>

#include "destinations/Destination.h"

// One revision of a file as the store lists it: its number and the
// modification time of the stored copy (kept from the source when copied).
struct StoredVersion {
  int64_t number = 0;
  int64_t time = 0;  // seconds since 1970 UTC
};

// The tiers, by a revision's age: every revision younger than an hour, then
// the newest of each 10-minute window up to a day, of each hour up to a
// week, of each day up to 30 days, of each week after that. Windows are
// aligned on 1970-01-01 and nest, so what one rotation removes a later one
// would remove too. "Newer" orders by time, then by number.
//
// keepDays > 0: a revision goes once the version that replaced it (the next
// newer revision) is older than that many days, so a file left alone for
// months keeps that old version for the whole time after it is overwritten;
// the newest revision (the one the latest copy replaced) never goes for its
// age. 0: no limit of age.
// maxRevisions: at most that many stay; the oldest of the keepers go first.
// Returns the numbers kept, in the order given.
std::vector<int64_t> RevisionsToKeep(const std::vector<StoredVersion>& revisions, int64_t now,
                                     int32_t keepDays, int32_t maxRevisions);

// The window a revision of this age falls in: 0 for "every revision" (the
// last hour), else the width in seconds.
int64_t KeepWindowOfAge(int64_t age);

// What one rotation of a file removes, as a flag per listed revision. highest
// is the listing's highest number; movesLatest: the latest copy (made at
// latestTime) becomes revision highest + 1. versions counts the latest copy
// too (the plan's VersionNumber). keepDays kKeepByCount (or a listing that
// does not tell every time) keeps the newest versions - 1 by number as
// before; else RevisionsToKeep decides, with the moved copy among them (it
// never goes itself).
std::vector<bool> RevisionsToRemove(const std::vector<VersionEntry>& listed, int64_t highest,
                                    bool movesLatest, int64_t latestTime, int32_t versions,
                                    int32_t keepDays, int64_t now);
