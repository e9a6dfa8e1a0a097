// Whether a copy in the store still holds its source's bytes: the local
// kinds read both files, a server's copy is downloaded on the open connection
// and compared as it comes. Asked only when a source's status changed while
// its size and write time stayed (its old time put back after a write, or
// its attributes alone), so reading a copy back is rare.
#include <cstring>
#include <vector>

#include "destinations/Destination.h"
#include "destinations/FtpDevice.h"
#include "destinations/ObjectDevice.h"
#include "platform/files/Files.h"

namespace {

constexpr size_t kPiece = 1 << 16;

// Reads up to n bytes (fewer only at the end); false when the read failed.
bool ReadFull(plat::File& file, char* buffer, size_t n, size_t* got) {
  *got = 0;
  while (*got < n) {
    size_t part = 0;
    if (!file.Read(buffer + *got, n - *got, &part)) return false;
    if (part == 0) break;
    *got += part;
  }
  return true;
}

// The source's bytes matched against a copy's as they arrive.
struct ArrivingMatch {
  plat::File& in;
  std::vector<char> mine = std::vector<char>(kPiece);
  bool same = true, unreadable = false;
  uint64_t received = 0;

  // A transfer tried again starts over.
  void Restart() {
    same = true;
    unreadable = false;
    received = 0;
    in.Seek(0);
  }
  // False once the bytes differ (or the source cannot be read).
  bool Take(const char* data, size_t n) {
    while (n > 0 && same) {
      const size_t part = n < kPiece ? n : kPiece;
      size_t got = 0;
      if (!ReadFull(in, mine.data(), part, &got)) {
        unreadable = true;
        same = false;
      } else if (got != part || std::memcmp(mine.data(), data, part) != 0) {
        same = false;
      }
      received += part;
      data += part;
      n -= part;
    }
    return same;
  }
};

}  // namespace

int32_t CDestination::HoldsSameBytes(std::string_view source, std::string_view path) {
  const int32_t type = GetStorageType();
  if (type != kStorageLocal && type != kStorageUsb && type != kStorageNetwork) return -1;
  plat::File in, copy;
  uint64_t inSize = 0, copySize = 0;
  if (!in.Open(source, plat::File::kRead, plat::File::kOpenExisting) ||
      !copy.Open(path, plat::File::kRead, plat::File::kOpenExisting) || !in.GetSize(&inSize) ||
      !copy.GetSize(&copySize))
    return -1;
  if (inSize != copySize) return 0;
  std::vector<char> a(kPiece), b(kPiece);
  for (;;) {
    size_t gotA = 0, gotB = 0;
    if (!ReadFull(in, a.data(), kPiece, &gotA) || !ReadFull(copy, b.data(), kPiece, &gotB))
      return -1;
    if (gotA != gotB || std::memcmp(a.data(), b.data(), gotA) != 0) return 0;
    if (gotA < kPiece) return 1;
  }
}

int32_t CFTPDevice::HoldsSameBytes(std::string_view source, std::string_view path) {
  if (source.empty() || path.empty()) return -1;
  plat::File in;
  uint64_t size = 0;
  if (!in.Open(source, plat::File::kRead, plat::File::kOpenExisting) || !in.GetSize(&size))
    return -1;
  // The whole copy is read even once it differs: a download stopped early
  // would end the connection.
  ArrivingMatch match{in};
  const auto compare = [&](const char* data, size_t n) -> uint32_t {
    match.Take(data, n);
    return 0;
  };
  // One second per KiB on top of three minutes, as an upload.
  const long waitMs = static_cast<long>((size / 1024 + 180) * 1000);
  uint32_t error = 0;
  const FtpSession::Outcome outcome = WithReconnect([&] {
    match.Restart();
    int64_t written = 0;
    return session_.Download(path, compare, waitMs, &error, &written);
  });
  if (outcome != FtpSession::kDone || match.unreadable) return -1;
  return match.same && match.received == size ? 1 : 0;
}

int32_t CObjectDevice::HoldsSameBytes(std::string_view source, std::string_view path) {
  const std::string key = KeyOf(path);
  plat::File in;
  uint64_t size = 0;
  if (key.empty() || !in.Open(source, plat::File::kRead, plat::File::kOpenExisting) ||
      !in.GetSize(&size))
    return -1;
  ArrivingMatch match{in};
  std::lock_guard<std::recursive_mutex> guard(sessionLock_);
  const ObjectReply reply = Retried([&] {
    match.Restart();
    return session_.Get(key, [&](const char* data, size_t n) { return match.Take(data, n); });
  });
  if (match.unreadable) return -1;
  if (!match.same) return 0;
  return reply.Ok() ? (match.received == size ? 1 : 0) : -1;
}
