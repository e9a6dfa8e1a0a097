// Numbered engine events, the publish/subscribe channels they travel on, and
// the bounded receiver that hands them to the UI thread.
//
// Lock order: a channel's lock first, then a subscriber's channel-list lock.
// A subscriber never holds its list lock while taking a channel lock, so
// subscribing, unsubscribing, publishing and destroying either side may run
// on different threads at once.
#pragma once
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum EventCode : int32_t {
  kEvInvalidContent = 0,
  kEvDatabaseOpenFailed = 1,
  kEvDuplicatePlanName = 2,
  kEvDatabaseProblem = 5,
  kEvFileCopied = 7,
  kEvFileFailed = 8,
  kEvUnreadablePlanFile = 9,
  kEvPlanNameTooLong = 10,
  kEvDuplicatePlanId = 11,
  kEvEmptyDestination = 12,
  kEvPlanModeChanged = 13,
  kEvDriverFailed = 14,
  kEvFileWritten = 15,
  kEvLaunchReport = 16,
  kEvFileNoted = 20,
  kEvFileBackupBegins = 21,
  kEvPlanEnabled = 22,
  kEvPlanDisabled = 23,
  kEvRunBegins = 24,
  kEvRunEnds = 25,
  kEvPlanCreated = 26,
  kEvPlanDeleted = 27,
  kEvScanBegins = 28,
  kEvScanEnds = 29,
  kEvUsbArrived = 30,
  kEvUsbRemoved = 31,
  kEvAvailabilityChanged = 32,
  // A file the store cannot hold (a name or path it cannot take): text 1 =
  // source path; plan identifier; text 3 = the reason.
  kEvNotProtected = 33,
  // Two sources of one folder differ only in case and the store ignores case:
  // text 1 = source, text 2 = the other source, text 3 = the shared latest name.
  kEvStoreNameShared = 34,
  // The server of an FTP or SFTP store showed a key other than the one
  // trusted for it, so nothing was sent: text 1 = the server ("host:port"),
  // plan identifier, text 3 = the reason. Once for each change.
  kEvServerKeyChanged = 35,
  // A file changed during every one of several copies in a row (a disk image
  // in use, a database), so none of them was kept: text 1 = source path; plan
  // identifier; text 2 = its latest name; text 3 = the reason. Once per file
  // and run of the program; the copies go on being tried.
  kEvSourceKeepsChanging = 36,
  // The plan's store: value 0, another disk answers to the store's place and
  // the plan only records changes; value 1, a fresh first backup fills a new
  // store (the plan was pointed elsewhere, or its store was lost on its own
  // disk); value 2, the store on a server that is this machine lies in or
  // above a folder the plan protects, so nothing is sent; value 3, a warning
  // that stops nothing (the server keeps copies readable by its other users,
  // or nothing tells where on this machine it keeps them); value 4, the store
  // there is refused (another plan's or installation's, or its marker is no
  // marker), so nothing is sent; value 5, the bucket keeps old versions
  // itself (once a start). Text 1 = the store root, plan identifier, text 3 =
  // the sentence.
  kEvStoreState = 37,
  // The server of an FTP or SFTP store was not used, so nothing was sent:
  // its key was never trusted (38; the plan's connection test shows it for
  // acceptance), or it refused the encryption the plan requires (39), or it
  // could not be reached within the plan's time-out (40, value 0) or
  // answered and refused the plan's login (40, value 1). Text 1 = the server
  // ("host:port"), plan identifier, text 3 = the reason in words. Once for
  // each new reason.
  kEvServerKeyUntrusted = 38,
  kEvServerNotEncrypted = 39,
  kEvServerUnreachable = 40,
};

// Text 2 of the run events (24, 25) of a plan's first backup: the log writes
// that run as the first backup, not as a scheduled run.
inline constexpr const char* kRunIsFirstBackup = "first-backup";
// Text 2 of the run events of a run the user asked for ("Back up now").
inline constexpr const char* kRunAskedNow = "backup-now";
// Text 3 of the run-ends event (25) of a run that found the plan unable to
// copy (destination away, battery, no room): it only recorded.
inline constexpr const char* kRunFoundBlocked = "blocked";

// One event. Every constructor, copy and move stamps the calling thread as
// the event's thread; the time is taken when the event is first built.
struct EventData {
  int32_t code = 0;
  int32_t value = 0;
  int64_t time = 0;  // seconds since 1970, when constructed
  std::string text1, text2, text3;
  uint32_t thread = 0;
  uint32_t planId = 0;

  EventData();
  EventData(int32_t code, std::string_view text1, uint32_t planId, std::string_view text2,
            std::string_view text3, int32_t value);
  EventData(const EventData& other);
  EventData(EventData&& other) noexcept;
  EventData& operator=(const EventData& other);
  EventData& operator=(EventData&& other) noexcept;
};

class CMEvent;
class CBaseClass;

namespace engine_detail {
// The part of a channel that its subscribers may still reach after the
// channel is gone: they keep it alive, so disconnecting never touches freed
// memory whichever side is destroyed first.
struct ChannelCore {
  std::recursive_mutex lock;  // guards subscribers and channel; held while subscribers run
  std::vector<CBaseClass*> subscribers;
  CMEvent* channel = nullptr;  // null once the channel is destroyed
};
}  // namespace engine_detail

// A subscriber. OnEvent runs on the publishing thread, under the channel's
// lock. Destroying a subscriber disconnects it from every channel; a derived
// class whose OnEvent uses its own members calls DisconnectAll() in its own
// destructor so that no publisher reaches a half-destroyed object.
class CBaseClass {
 public:
  CBaseClass() = default;
  virtual ~CBaseClass();
  CBaseClass(const CBaseClass&) = delete;
  CBaseClass& operator=(const CBaseClass&) = delete;
  virtual void OnEvent(CMEvent* source, const EventData& event) = 0;
  // Number of channels this subscriber is connected to.
  size_t ChannelCount();

 protected:
  // Leaves every channel; waits for publishes that are running on them.
  void DisconnectAll();

 private:
  friend class CMEvent;
  friend void Subscribe(CMEvent*, CBaseClass*);
  friend void Unsubscribe(CMEvent*, CBaseClass*);
  std::mutex channelsLock_;  // guards channels_ (taken after a channel's lock, never before)
  std::vector<std::shared_ptr<engine_detail::ChannelCore>> channels_;
};

// A named channel.
class CMEvent {
 public:
  explicit CMEvent(std::string name, uint32_t tag = 0, void* owner = nullptr);
  ~CMEvent();
  CMEvent(const CMEvent&) = delete;
  CMEvent& operator=(const CMEvent&) = delete;
  const std::string& Name() const { return name_; }
  uint32_t Tag() const { return tag_; }
  void* Owner() const { return owner_; }
  size_t SubscriberCount();

 private:
  friend void Publish(CMEvent*, const EventData*);
  friend void Subscribe(CMEvent*, CBaseClass*);
  friend void Unsubscribe(CMEvent*, CBaseClass*);
  std::string name_;
  uint32_t tag_;
  void* owner_;
  std::shared_ptr<engine_detail::ChannelCore> core_;
};

// Calls OnEvent of every subscriber in subscription order, under the
// channel's lock. A null channel or event is ignored.
void Publish(CMEvent* channel, const EventData* event);
// Both sides record the connection; connecting twice has no further effect.
void Subscribe(CMEvent* channel, CBaseClass* subscriber);
void Unsubscribe(CMEvent* channel, CBaseClass* subscriber);

// The two process-wide "Global Event" channels.
CMEvent& UiChannel();
CMEvent& WorkerChannel();
// Records the calling thread as the UI thread (start-up does this).
void SetUiThread();
uint32_t GetUiThread();

// Builds an event (time now, this thread) and publishes it on the UI channel
// when called on the UI thread, else on the worker channel.
void PostEvent(int32_t code, std::string_view text1 = {}, uint32_t planId = 0,
               std::string_view text2 = {}, std::string_view text3 = {}, int32_t value = 0);
void PostEventRecord(const EventData& event);

// Queues events of both global channels for the UI thread; at most 200 wait,
// later ones are dropped so that no worker ever waits for the UI.
class CMessageReciever : public CBaseClass {
 public:
  static constexpr size_t kMaxQueued = 200;
  CMessageReciever();
  ~CMessageReciever() override;
  void OnEvent(CMEvent* source, const EventData& event) override;
  // Takes the oldest queued event; false when the queue is empty.
  bool Pop(CMEvent** source, EventData* event);
  size_t Count();

 private:
  std::mutex lock_;  // guards queue_
  std::deque<std::pair<CMEvent*, EventData>> queue_;
};
