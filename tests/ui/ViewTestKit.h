// What the main view's tests share: drives E: to H:, the cards' contents, and
// refreshes until a state shows.
#pragma once
#include "UiTestKit.h"
#include "ui/main/CPlanCell.h"
#include "ui/main/ViewWorker.h"
#include "ui/model/CellTexts.h"

namespace bvtest {

constexpr uint64_t kMiB = 1048576;

inline std::string Grid(const char* key) { return GetText("UGGRID", key); }

// E: a fixed disk, F: a removable USB disk, G: present only while plugged,
// H: a full disk.
class ViewTest : public UiTest {
 protected:
  std::string Volumes() const override {
    std::string ini = Drive("E", "evol", "Type=fixed\nTotalBytes=536870912000\n");
    if (eFree_) ini += "FreeBytes=" + std::to_string(eFree_) + "\n";
    ini += Drive("F", "fvol",
                 "Type=removable\nBus=usb\nSerial=12AB34CD\nTotalBytes=64424509440\n"
                 "FreeBytes=22548578304\n");
    if (gPlugged_) ini += Drive("G", "gvol", "Type=fixed\nLabel=BACKUP\n");
    ini += Drive("H", "hvol", "Type=fixed\nTotalBytes=32212254720\nFreeBytes=4194304\n");
    return ini;
  }
  void Plug(bool plugged) {
    gPlugged_ = plugged;
    WriteVolumes();
  }
  static CellContent ContentOf(CBrevantoView& view, uint32_t id) {
    CPlanCell* cell = view.Cell(id);
    return cell ? cell->Content() : CellContent{};
  }
  static std::string Status(CBrevantoView& view, uint32_t id) {
    return ContentOf(view, id).statusText.toStdString();
  }
  // Refreshes until every plan has its card (busy locks are skipped).
  static void Show(CBrevantoView& view) {
    PlanList& list = PlanList::Instance();
    ASSERT_TRUE(RunUntil([&] {
      view.Refresh();
      std::lock_guard<std::recursive_mutex> lock(list.Lock());
      return view.CellIds().size() == list.Count();
    }));
  }
  // Refreshes the view until done (a refresh skips plans whose lock is busy).
  static bool Until(CBrevantoView& view, const std::function<bool()>& done, int ms = 60000) {
    return RunUntil(
        [&] {
          view.Refresh();
          return done();
        },
        ms);
  }
  std::string LoggingStamp(uint32_t id) const {
    return plat::GetProfileString(
        dir_.System() + "\\data\\PLAN\\" + std::to_string(id) + "\\UI.ini", "MainWindow",
        "LoggingModeTime", "");
  }

  uint64_t eFree_ = 0;
  bool gPlugged_ = true;
};

}  // namespace bvtest
