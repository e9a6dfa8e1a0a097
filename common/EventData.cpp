#include "common/EngineEvents.h"
#include "platform/process/Clock.h"

EventData::EventData() : time(plat::Now()), thread(plat::CurrentThreadId()) {}

EventData::EventData(int32_t code, std::string_view text1, uint32_t planId, std::string_view text2,
                     std::string_view text3, int32_t value)
    : code(code),
      value(value),
      time(plat::Now()),
      text1(text1),
      text2(text2),
      text3(text3),
      thread(plat::CurrentThreadId()),
      planId(planId) {}

EventData::EventData(const EventData& other)
    : code(other.code),
      value(other.value),
      time(other.time),
      text1(other.text1),
      text2(other.text2),
      text3(other.text3),
      thread(plat::CurrentThreadId()),
      planId(other.planId) {}

EventData::EventData(EventData&& other) noexcept
    : code(other.code),
      value(other.value),
      time(other.time),
      text1(std::move(other.text1)),
      text2(std::move(other.text2)),
      text3(std::move(other.text3)),
      thread(plat::CurrentThreadId()),
      planId(other.planId) {}

EventData& EventData::operator=(const EventData& other) {
  if (this != &other) {
    code = other.code;
    value = other.value;
    time = other.time;
    text1 = other.text1;
    text2 = other.text2;
    text3 = other.text3;
    planId = other.planId;
  }
  thread = plat::CurrentThreadId();
  return *this;
}

EventData& EventData::operator=(EventData&& other) noexcept {
  if (this != &other) {
    code = other.code;
    value = other.value;
    time = other.time;
    text1 = std::move(other.text1);
    text2 = std::move(other.text2);
    text3 = std::move(other.text3);
    planId = other.planId;
  }
  thread = plat::CurrentThreadId();
  return *this;
}
