// The disc engine's images: ISO 9660 with Rock Ridge and Joliet, built from
// store files and finished into a source for the recorder.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "destinations/disc/DiscLibrary.h"
#include "destinations/disc/JolietNames.h"

namespace disc {

namespace {

// Now as "YYYYMMDDhhmmsscc" (UTC), a hundredth later than the last one
// given when the clock has not moved on: it tells this image from any other.
std::string CreationStamp() {
  using namespace std::chrono;
  static std::atomic<int64_t> last{0};
  int64_t cs = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count() / 10;
  for (int64_t seen = last.load();;) {
    cs = std::max(cs, seen + 1);
    if (last.compare_exchange_weak(seen, cs)) break;
  }
  constexpr int64_t kPerDay = 24 * 3600 * 100;
  const year_month_day date{sys_days{days{cs / kPerDay}}};
  const int64_t t = cs % kPerDay;
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02u%02u%02d%02d%02d%02d", int(date.year()),
                unsigned(date.month()), unsigned(date.day()), int(t / 360000), int(t / 6000 % 60),
                int(t / 100 % 60), int(t % 100));
  return text;
}

}  // namespace

Image* CreateImage(std::string* error) {
  auto* image = new Image;
  if (iso_image_new("BREVANTO", &image->image) < 0) {
    delete image;
    Fail(error, "no image can be made");
    return nullptr;
  }
  iso_tree_set_follow_symlinks(image->image, 0);
  return image;
}

Node RootNode(Image* image) {
  return image == nullptr ? nullptr : iso_image_get_root(image->image);
}

int AddFolder(Image* image, Node parent, std::string_view name, Node* folder, std::string* error) {
  IsoDir* dir = nullptr;
  std::string n(name);
  int r = iso_image_add_new_dir(image->image, static_cast<IsoDir*>(parent), n.c_str(), &dir);
  if (r < 0) return Fail(error, "the folder " + n + " cannot be put in the image");
  *folder = dir;
  image->children[static_cast<IsoDir*>(parent)].push_back(
      {n, reinterpret_cast<IsoNode*>(dir), true});
  return kDiscOk;
}

int AddFile(Image* image, Node parent, std::string_view name, std::string_view systemPath,
            std::string* error) {
  std::string native;
  std::string n(name);
  if (!plat::ToNativePath(systemPath, &native)) {
    return Fail(error, "the file " + std::string(systemPath) + " lies on no volume");
  }
  IsoNode* node = nullptr;
  int r = iso_tree_add_new_node(image->image, static_cast<IsoDir*>(parent), n.c_str(),
                                native.c_str(), &node);
  if (r < 0) {
    return Fail(error, "the file " + std::string(systemPath) +
                           " cannot be put in the image: " + iso_error_to_msg(r));
  }
  ++image->files;
  image->children[static_cast<IsoDir*>(parent)].push_back({n, node, false});
  return kDiscOk;
}

uint64_t FileCount(Image* image) { return image == nullptr ? 0 : image->files; }

void SetImageChecksum(Image* image, bool on) {
  if (image != nullptr) image->checksum = on;
}

int FinishImage(Image* image, std::string_view label, std::string_view publisher,
                std::string_view application, std::string* error) {
  if (image == nullptr) return Fail(error, "no image");
  std::string l(label), p(publisher), a(application);
  // The primary descriptor holds 32 bytes: cut before a character, never in it.
  if (l.size() > 32) {
    size_t end = 32;
    while (end > 0 && (static_cast<unsigned char>(l[end]) & 0xC0) == 0x80) --end;
    l.resize(end);
  }
  iso_image_set_volume_id(image->image, l.c_str());
  iso_image_set_publisher_id(image->image, p.c_str());
  iso_image_set_application_id(image->image, a.c_str());
  iso_image_set_data_preparer_id(image->image, a.c_str());
  if (int r = GiveJolietNames(image, error); r != kDiscOk) return r;
  IsoWriteOpts* opts = nullptr;
  if (iso_write_opts_new(&opts, 1) < 0) return Fail(error, "no image options");
  iso_write_opts_set_iso_level(opts, 3);
  iso_write_opts_set_rockridge(opts, 1);
  iso_write_opts_set_joliet(opts, 1);
  iso_write_opts_set_joliet_long_names(opts, 1);
  iso_write_opts_set_joliet_longer_paths(opts, 1);
  iso_write_opts_set_allow_longer_paths(opts, 1);
  iso_write_opts_set_always_gmt(opts, 1);
  // The label and identifier texts as given, not cut to ISO 9660 upper case.
  iso_write_opts_set_relaxed_vol_atts(opts, 1);
  iso_write_opts_set_record_md5(opts, image->checksum ? 1 : 0, 0);
  // The creation (and modification) time of the volume: the image's own,
  // known before it is written, so that a partial image can be told.
  image->created = CreationStamp();
  iso_write_opts_set_pvd_times(opts, 0, 0, 0, 0, image->created.data());
  if (image->source != nullptr) {
    image->source->cancel(image->source);
    burn_source_free(image->source);
    image->source = nullptr;
  }
  // libisofs declares its own copy of libburn's source type.
  int r = iso_image_create_burn_source(image->image, opts,
                                       reinterpret_cast<::burn_source**>(&image->source));
  iso_write_opts_free(opts);
  if (r < 0 || image->source == nullptr) {
    image->source = nullptr;
    return Fail(error, std::string("the image cannot be laid out: ") + iso_error_to_msg(r));
  }
  image->size = uint64_t(image->source->get_size(image->source));
  return kDiscOk;
}

uint64_t ImageSize(Image* image) { return image == nullptr ? 0 : image->size; }

void ReleaseImage(Image* image) {
  if (image == nullptr) return;
  if (image->source != nullptr) {
    if (!image->written && image->source->cancel != nullptr) image->source->cancel(image->source);
    burn_source_free(image->source);
  }
  iso_image_unref(image->image);
  delete image;
}

}  // namespace disc
