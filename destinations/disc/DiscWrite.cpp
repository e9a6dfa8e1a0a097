// The disc engine's writing of a finished image and its read-back check.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "destinations/disc/DiscLibrary.h"
#include "platform/base/Errors.h"
#include "platform/files/FileId.h"
#include "platform/volumes/Paths.h"

namespace disc {

int WriteImage(Device* device, Image* image, uint32_t modes, const Progress& progress,
               std::string* error) {
  if (device == nullptr) return Fail(error, "no recorder", kDiscNoDevice);
  if (image == nullptr || image->source == nullptr) return Fail(error, "the image is not finished");
  if (modes == 0) return kDiscOk;
  // An image file is never written through a link planted in its place.
  std::string imagePath;
  plat::FileId imageId;
  if (device->pseudo && plat::ToSystemPath(device->file, &imagePath) &&
      !plat::GetFileId(imagePath, &imageId) && plat::GetLastError() == plat::kErrStoppedOnLink)
    return Fail(error,
                "the image file " + device->file + " is a link: nothing is written through it");
  int status = 0;
  uint64_t freeBlocks = 0;
  if (int r = DiscInfo(device, &status, &freeBlocks, error); r != kDiscOk) return r;
  if (status == kStatusComplete) return Fail(error, "the disc is already complete");
  if (image->size > freeBlocks * kBlock) {
    return Fail(error,
                "the image (" + std::to_string(image->size) + " bytes) is larger than the disc (" +
                    std::to_string(freeBlocks * kBlock) + " bytes)",
                kDiscTooLarge);
  }
  burn_track* track = burn_track_create();
  burn_track_define_data(track, 0, 0, 0, BURN_MODE1);
  burn_track_set_source(track, image->source);
  burn_session* session = burn_session_create();
  burn_session_add_track(session, track, BURN_POS_END);
  burn_disc* d = burn_disc_create();
  burn_disc_add_session(d, session, BURN_POS_END);
  burn_write_opts* opts = burn_write_opts_new(device->drive);
  burn_write_opts_set_perform_opc(opts, 0);
  burn_write_opts_set_multi(opts, 0);
  burn_write_opts_set_underrun_proof(opts, 1);
  // An image file is synced once, at the end (the default syncs every 16 MB).
  if (device->pseudo) burn_write_opts_set_stdio_fsync(opts, 1);
  char reasons[BURN_REASONS_LEN] = {};
  bool chosen = false;
  const std::pair<uint32_t, std::pair<burn_write_types, int>> order[] = {
      {kModeSao, {BURN_WRITE_SAO, BURN_BLOCK_SAO}},
      {kModeTao, {BURN_WRITE_TAO, BURN_BLOCK_MODE1}},
      {kModeRaw, {BURN_WRITE_RAW, BURN_BLOCK_RAW16}},
      {kModePacket, {BURN_WRITE_PACKET, BURN_BLOCK_MODE1}}};
  for (const auto& [mode, type] : order) {
    if ((modes & mode) == 0) continue;
    if (burn_write_opts_set_write_type(opts, type.first, type.second) == 1 &&
        burn_precheck_write(opts, d, reasons, 1) == 1) {
      chosen = true;
      break;
    }
  }
  if (!chosen && burn_write_opts_auto_write_type(opts, d, reasons, 0) == BURN_WRITE_NONE) {
    burn_write_opts_free(opts);
    burn_disc_free(d);
    burn_session_free(session);
    burn_track_free(track);
    return Fail(error, std::string("the recorder takes none of the recording modes: ") + reasons);
  }
  image->written = true;
  MarkPartialImage(device, image);
  // The library's thread of the drive's last operation may still be ending
  // although the drive reads idle: the write is refused then, and asked for
  // again.
  for (int attempt = 0;; ++attempt) {
    TakeMessages();
    burn_disc_write(opts, d);
    if (burn_drive_get_status(device->drive, nullptr) != BURN_DRIVE_IDLE) break;
    std::string refused = TakeMessages();
    if (refused.find("still going on") == std::string::npos || attempt == 200) {
      if (!refused.empty()) {
        burn_write_opts_free(opts);
        burn_disc_free(d);
        burn_session_free(session);
        burn_track_free(track);
        image->source->cancel(image->source);
        return Fail(error, "writing the disc did not start: " + refused);
      }
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  bool whole = WaitIdle(device->drive, progress, true);
  bool well = burn_drive_wrote_well(device->drive) == 1;
  burn_write_opts_free(opts);
  burn_disc_free(d);
  burn_session_free(session);
  burn_track_free(track);
  // libisofs's writer thread may still wait for its reader: it is ended.
  if (!whole || !well) image->source->cancel(image->source);
  if (!whole) return Fail(error, "writing was stopped", kDiscCancelled);
  if (!well) return Fail(error, "writing the disc failed");
  UnmarkPartialImage(device);
  // The session checksum exists only once the whole image went out.
  uint32_t start = 0, end = 0;
  char md5[16];
  if (image->checksum && iso_image_get_session_md5(image->image, &start, &end, md5, 0) != 1) {
    return Fail(error, "the image was not written whole");
  }
  return kDiscOk;
}

std::string DiscIdentity(Device* device) {
  if (device == nullptr || DataBytes(device) < 17 * kBlock) return {};
  // The primary volume descriptor: block 16, type 1, "CD001".
  std::vector<char> block(kBlock);
  off_t got = 0;
  if (burn_read_data(device->drive, 16 * off_t(kBlock), block.data(), off_t(kBlock), &got, 2) !=
          1 ||
      got != off_t(kBlock) || block[0] != 1 || std::string_view(&block[1], 5) != "CD001") {
    return {};
  }
  return std::string(&block[40], 32) + std::string(&block[813], 17);
}

int Verify(Device* device, Image* image, const Progress& progress, std::string* error) {
  if (device == nullptr) return Fail(error, "no recorder", kDiscNoDevice);
  if (image == nullptr || !image->written) return Fail(error, "nothing was written");
  uint32_t start = 0, end = 0;
  char expected[16] = {};
  if (iso_image_get_session_md5(image->image, &start, &end, expected, 0) != 1) {
    return Fail(error, "the image holds no checksum to compare with");
  }
  void* ctx = nullptr;
  if (iso_md5_start(&ctx) < 0) return Fail(error, "no checksum can be computed");
  constexpr uint32_t kStep = 32;  // blocks per read
  std::vector<char> buffer(kStep * kBlock);
  const uint64_t total = uint64_t(end - start) * kBlock;
  for (uint32_t lba = start; lba < end; lba += kStep) {
    uint32_t n = std::min(kStep, end - lba);
    off_t got = 0;
    if (burn_read_data(device->drive, off_t(lba) * off_t(kBlock), buffer.data(), off_t(n) * kBlock,
                       &got, 2) != 1 ||
        got != off_t(n) * off_t(kBlock)) {
      char sum[16];
      iso_md5_end(&ctx, sum);
      return Fail(error, "block " + std::to_string(lba) + " of the disc cannot be read back");
    }
    iso_md5_compute(ctx, buffer.data(), int(n * kBlock));
    if (progress && !progress(uint64_t(lba - start + n) * kBlock, total)) {
      char sum[16];
      iso_md5_end(&ctx, sum);
      return Fail(error, "verifying was stopped", kDiscCancelled);
    }
  }
  char actual[16] = {};
  iso_md5_end(&ctx, actual);
  if (!iso_md5_match(expected, actual)) {
    return Fail(error, "the disc does not hold what was written", kDiscMismatch);
  }
  return kDiscOk;
}

}  // namespace disc
