// What the windows' tests share: a data folder, volume table and message log,
// an empty plan list, typing, modal windows, and pictures for screenshots.
#pragma once
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/EngineEvents.h"
#include "common/PlanSettings.h"
#include "common/Settings.h"
#include "common/Texts.h"
#include "engine/PlanList.h"
#include "plans/CPlan.h"
#include "platform/profile/Profile.h"
#include "platform/volumes/Paths.h"
#include "platform/volumes/Volumes.h"
#include "support/QtApp.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "ui/main/CBrevantoView.h"
#include "ui/main/CMainFrame.h"
#include "ui/main/EngineStartup.h"
#include "ui/main/RunSoon.h"
#include "ui/widgets/TextFormat.h"

namespace bvtest {

// Stops the engine after the last test, as the program does at exit, before
// the process-wide objects go.
class StopEngineAtEnd : public ::testing::Environment {
 public:
  void TearDown() override { StopEngine(); }
};
inline ::testing::Environment* const kStopEngineAtEnd =
    ::testing::AddGlobalTestEnvironment(new StopEngineAtEnd);

// Writes the widget's picture into BV_SCREENSHOT_DIR when that is set.
inline void Shoot(QWidget* w, const char* name) {
  QApplication::processEvents();
  const QPixmap pixmap = w->grab();
  EXPECT_FALSE(pixmap.isNull()) << name;
  if (const char* dir = std::getenv("BV_SCREENSHOT_DIR"); dir && *dir) {
    EXPECT_TRUE(pixmap.save(QString::fromStdString(std::string(dir) + "/" + name))) << name;
  }
}

// Runs action on the first modal window of class T once it is up.
template <class T>
void WhenModal(std::function<void(T*)> action) {
  auto* poll = new QTimer;
  QObject::connect(poll, &QTimer::timeout, [poll, action] {
    if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget())) {
      poll->stop();
      poll->deleteLater();
      action(dialog);
    }
  });
  poll->start(20);
}

// A left click the way the window system delivers it.
inline void Click(QWidget* widget, QPoint at) {
  for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
    QMouseEvent event(type, at, widget->mapToGlobal(at), Qt::LeftButton,
                      type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                      Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
  }
}

// A key pressed and let go, the way the window system delivers them.
inline void Key(QWidget* widget, int key, const QString& text = {}) {
  for (QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
    QKeyEvent event(type, key, Qt::NoModifier, text);
    QApplication::sendEvent(widget, &event);
  }
}

// Replaces the field's text by typing, as a user does (textEdited fires).
inline void Type(QLineEdit* edit, const std::string& text) {
  edit->setFocus();
  edit->selectAll();
  QKeyEvent erase(QEvent::KeyPress, Qt::Key_Backspace, Qt::NoModifier);
  QApplication::sendEvent(edit, &erase);
  for (QChar c : QString::fromStdString(text)) {
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
    QApplication::sendEvent(edit, &press);
  }
}

// Another default locale for the scope (British: dates day first, weeks from Monday).
struct ScopedLocale {
  explicit ScopedLocale(const QLocale& l = QLocale(QLocale::English, QLocale::UnitedKingdom)) {
    QLocale::setDefault(l);
  }
  ~ScopedLocale() { Restore(); }
  void Restore() const { QLocale::setDefault(user); }
  const QLocale user;
};

inline void ClearPlans() {
  PlanList& list = PlanList::Instance();
  while (list.Count() > 0) list.DeletePlan(list.At(0)->Id());
}

// A data folder ("data"), message boxes into "messages.log", a volume table
// (C: is "/", more drives from Volumes()) and an empty plan list.
class UiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    std::filesystem::create_directories(dir_.NativeOf("data"));
    setenv("BREVANTO_DATA_DIR", dir_.NativeOf("data").c_str(), 1);
    setenv("BREVANTO_MESSAGE_LOG", dir_.NativeOf("messages.log").c_str(), 1);
    setenv("BREVANTO_VOLUMES", dir_.NativeOf("volumes.ini").c_str(), 1);
    WriteVolumes();
    ResetSettingsCache();
    ClearPlans();
  }
  void TearDown() override {
    ClearPlans();
    unsetenv("BREVANTO_VOLUMES");
    unsetenv("BREVANTO_MESSAGE_LOG");
    plat::VolumeTable::Instance().Reload();
    ResetSettingsCache();
  }

  // The drives beside C:, as volume table sections.
  virtual std::string Volumes() const { return {}; }
  void WriteVolumes() {
    WriteNative(dir_.NativeOf("volumes.ini"), "[C]\nRoot=/\nType=fixed\nSystem=1\n" + Volumes() +
                                                  "[Power]\nSource=ac\nPressure=idle\n");
    plat::VolumeTable::Instance().Reload();
  }
  // "[X]\nRoot=<folder>\n..." with the folder made.
  std::string Drive(const char* letter, const char* folder, const std::string& rest) const {
    std::filesystem::create_directories(dir_.NativeOf(folder));
    return std::string("[") + letter + "]\nRoot=" + dir_.NativeOf(folder) + "\n" + rest;
  }

  std::string Messages() const { return ReadNative(dir_.NativeOf("messages.log")); }
  bool Said(const std::string& text) const { return Messages().find(text) != std::string::npos; }
  bool Said(const char* section, const char* key) const { return Said(GetText(section, key)); }

  CPlan* MakePlan(const std::string& name, const std::string& store, int32_t unit, bool enabled,
                  int32_t type = kStorageLocal, int32_t versions = 3) {
    PlanSettings s;
    s.name = name;
    s.storePath = store;
    s.storageType = type;
    s.scheduleNum = 1;
    s.scheduleUnit = unit;
    s.versionNumber = versions;
    CPlan* plan = PlanList::Instance().CreatePlan(s);
    EXPECT_NE(plan, nullptr) << name;
    if (plan && enabled) plan->SetEnabled(true, 0);
    return plan;
  }
  std::string PlanFile(uint32_t id, const char* file = "Plan.ini") const {
    return ReadNative(dir_.NativeOf("data/PLAN/" + std::to_string(id) + "/" + file));
  }

  TempDir dir_;
};

}  // namespace bvtest
