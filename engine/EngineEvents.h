// Numbered engine events, the publish/subscribe channels they travel on, and
// the bounded receiver that hands them to the UI thread.
#pragma once
#include <cstdint>
#include <deque>
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
};

// One event; copying it makes the copying thread its thread.
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
  EventData& operator=(const EventData& other);
};

class CMEvent;

// A subscriber. OnEvent runs on the publishing thread. Destroying a subscriber
// disconnects it from every channel.
class CBaseClass {
 public:
  CBaseClass() = default;
  virtual ~CBaseClass();
  CBaseClass(const CBaseClass&) = delete;
  CBaseClass& operator=(const CBaseClass&) = delete;
  virtual void OnEvent(CMEvent* source, const EventData& event) = 0;

 private:
  friend class CMEvent;
  friend void Subscribe(CMEvent*, CBaseClass*);
  friend void Unsubscribe(CMEvent*, CBaseClass*);
  std::mutex channelsLock_;  // guards channels_
  std::vector<CMEvent*> channels_;
};

// A named channel.
class CMEvent {
 public:
  CMEvent(std::string name, uint32_t tag = 0, void* owner = nullptr);
  ~CMEvent();
  CMEvent(const CMEvent&) = delete;
  CMEvent& operator=(const CMEvent&) = delete;
  const std::string& Name() const { return name_; }
  uint32_t Tag() const { return tag_; }
  void* Owner() const { return owner_; }

 private:
  friend void Publish(CMEvent*, const EventData*);
  friend void Subscribe(CMEvent*, CBaseClass*);
  friend void Unsubscribe(CMEvent*, CBaseClass*);
  std::string name_;
  uint32_t tag_;
  void* owner_;
  std::recursive_mutex lock_;  // guards subscribers_; held while they run
  std::vector<CBaseClass*> subscribers_;
};

void Publish(CMEvent* channel, const EventData* event);
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
  bool Pop(CMEvent** source, EventData* event);
  size_t Count();

 private:
  std::mutex lock_;  // guards queue_
  std::deque<std::pair<CMEvent*, EventData>> queue_;
};
