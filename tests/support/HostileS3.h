// A hostile S3 endpoint on loopback: any signature taken, objects kept in memory, requests
// counted; its manner says how it lies, until Heal() makes it honest.
#pragma once
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/PlanSettings.h"
#include "support/Loopback.h"

namespace bvtest {

class HostileS3 : public LoopbackServer {
 public:
  enum Manner {
    kHonest,
    kEndless,           // listings never end, a new marker each page
    kRepeatedMarker,    // ... the same marker again
    kRedirect,          // every request redirected to 127.0.0.2
    kWrongETag,         // a PUT's ETag not the MD5 of its body
    kOpaqueETag,        // ... in a form that is no MD5 (a store's own encryption)
    kMarkerDenied,      // the marker refused (403)
    kMarkerUnwritable,  // the marker is read (none there) but its PUT refused (403)
    kMarkerJunk,        // the marker's GET answers text that is no marker
    kMarkerAnswerLost,  // the first marker kept but answered 504; with If-None-Match, 412
    kListDenied,        // every listing refused by a policy (403 AccessDenied)
    kGhostMarker,       // the marker's PUT answered 412 (one is there), its GET 404
    kMarker500,         // the marker's GET answered 500 InternalError
    kMarkerPut500,      // the marker's PUT answered 500 InternalError
    kMarkerDropped,     // the marker's GET: the connection closed with no answer
    kBelow500,          // a listing of every key below a prefix answered 500
    kTruncatedNoToken,  // a prefix's listing truncated, with no continuation token
    kNoPrefix,          // a prefix's listing answers another folder's marker too
    kListsBelow,        // the listing of every key below a prefix gives the keys held
    kHtmlListing,       // the listing of every key below a prefix: 200 with a web page
    kCutListing,        // the same listing: 200 with its XML cut short
    kAbove500,          // the marker of the folder above ("Brevanto.dat"): 500 InternalError
    kAboveHtml,         // the marker of the folder above: 200 with a web page
    kMarkerNotKept,     // the marker's PUT answered 200, nothing kept
  };
  explicit HostileS3(Manner manner);
  ~HostileS3() { Stop(); }

  std::string Endpoint() const { return "http://127.0.0.1:" + std::to_string(Port()); }
  // A plan's settings for a store below prefix in bucket "hostile".
  ObjectStoreSettings Settings(const std::string& prefix = "store") const;
  int Requests() const { return requests_; }
  void Heal() { manner_ = kHonest; }
  // The request lines served ("GET /hostile?list-type=2...").
  std::vector<std::string> Lines() const;
  // The keys held (put and not deleted).
  std::vector<std::string> Keys() const;

 private:
  void Session(int client);
  std::string Answer(const std::string& method, const std::string& target,
                     const std::string& headers, const std::string& body);

  std::atomic<Manner> manner_;
  std::atomic<int> requests_{0};
  std::atomic<int> pages_{0};
  bool markerAnswered_ = false;  // kMarkerAnswerLost: the first marker's answer went
  mutable std::mutex lock_;      // guards objects_ and lines_
  std::map<std::string, std::string> objects_;
  std::vector<std::string> lines_;
};

}  // namespace bvtest
