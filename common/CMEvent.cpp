#include <algorithm>

#include "common/EngineEvents.h"

using engine_detail::ChannelCore;

namespace {

template <typename T>
bool Contains(const std::vector<T>& v, const T& x) {
  return std::find(v.begin(), v.end(), x) != v.end();
}

template <typename T>
void EraseOne(std::vector<T>& v, const T& x) {
  auto it = std::find(v.begin(), v.end(), x);
  if (it != v.end()) v.erase(it);
}

}  // namespace

CMEvent::CMEvent(std::string name, uint32_t tag, void* owner)
    : name_(std::move(name)), tag_(tag), owner_(owner), core_(std::make_shared<ChannelCore>()) {
  core_->channel = this;
}

CMEvent::~CMEvent() {
  std::lock_guard<std::recursive_mutex> g(core_->lock);
  for (CBaseClass* s : core_->subscribers) {
    std::lock_guard<std::mutex> sg(s->channelsLock_);
    EraseOne(s->channels_, core_);
  }
  core_->subscribers.clear();
  core_->channel = nullptr;
}

size_t CMEvent::SubscriberCount() {
  std::lock_guard<std::recursive_mutex> g(core_->lock);
  return core_->subscribers.size();
}

CBaseClass::~CBaseClass() { DisconnectAll(); }

size_t CBaseClass::ChannelCount() {
  std::lock_guard<std::mutex> g(channelsLock_);
  return channels_.size();
}

void CBaseClass::DisconnectAll() {
  for (;;) {
    // Pick a channel without holding the list lock across the channel's lock:
    // the channel's lock always comes first.
    std::shared_ptr<ChannelCore> core;
    {
      std::lock_guard<std::mutex> g(channelsLock_);
      if (channels_.empty()) return;
      core = channels_.back();
    }
    std::lock_guard<std::recursive_mutex> cg(core->lock);
    {
      std::lock_guard<std::mutex> g(channelsLock_);
      EraseOne(channels_, core);
    }
    EraseOne(core->subscribers, this);
  }
}

void Subscribe(CMEvent* channel, CBaseClass* subscriber) {
  if (!channel || !subscriber) return;
  std::shared_ptr<ChannelCore> core = channel->core_;
  std::lock_guard<std::recursive_mutex> g(core->lock);
  if (!Contains(core->subscribers, subscriber)) core->subscribers.push_back(subscriber);
  std::lock_guard<std::mutex> sg(subscriber->channelsLock_);
  if (!Contains(subscriber->channels_, core)) subscriber->channels_.push_back(core);
}

void Unsubscribe(CMEvent* channel, CBaseClass* subscriber) {
  if (!channel || !subscriber) return;
  std::shared_ptr<ChannelCore> core = channel->core_;
  std::lock_guard<std::recursive_mutex> g(core->lock);
  EraseOne(core->subscribers, subscriber);
  std::lock_guard<std::mutex> sg(subscriber->channelsLock_);
  EraseOne(subscriber->channels_, core);
}

void Publish(CMEvent* channel, const EventData* event) {
  if (!channel || !event) return;
  // The local reference keeps the core alive should a subscriber destroy the
  // channel from inside OnEvent.
  std::shared_ptr<ChannelCore> core = channel->core_;
  std::lock_guard<std::recursive_mutex> g(core->lock);
  // Only this thread can change the list while the lock is held (a subscriber
  // that subscribes or leaves from inside OnEvent), so walk a snapshot and
  // skip those that left meanwhile.
  const std::vector<CBaseClass*> snapshot = core->subscribers;
  for (CBaseClass* s : snapshot) {
    if (!core->channel || !Contains(core->subscribers, s)) continue;
    s->OnEvent(channel, *event);
  }
}
