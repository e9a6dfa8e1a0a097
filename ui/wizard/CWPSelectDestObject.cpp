// The destination page's cloud / object storage tab: the bucket's fields,
// the connection test and the check of what was typed.
#include "ui/wizard/CWPSelectDest.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabBar>

#include "destinations/ObjectDevice.h"
#include "platform/base/Text.h"
#include "ui/wizard/CDlgConnectObjectStore.h"
#include "ui/wizard/DestPageParts.h"
#include "ui/wizard/WizardAnswers.h"

using dest_parts::kSection;
using dest_parts::MakeEdit;
using dest_parts::Text;
using dest_parts::Trimmed;

QWidget* CWPSelectDest::MakeObjectPanel() {
  auto* panel = new QWidget(panels_);
  auto* form = new QFormLayout(panel);
  form->setContentsMargins(0, 4, 0, 0);
  form->setVerticalSpacing(6);
  endpoint_ = MakeEdit("objectEndpointEdit", panel);
  form->addRow(Text("OBJECT_ENDPOINT"), endpoint_);
  region_ = MakeEdit("objectRegionEdit", panel);
  form->addRow(Text("OBJECT_REGION"), region_);
  bucket_ = MakeEdit("objectBucketEdit", panel);
  form->addRow(Text("OBJECT_BUCKET"), bucket_);
  prefix_ = MakeEdit("objectPrefixEdit", panel);
  form->addRow(Text("OBJECT_PREFIX"), prefix_);
  accessKey_ = MakeEdit("objectAccessKeyEdit", panel);
  form->addRow(Text("OBJECT_ACCESS_KEY"), accessKey_);
  secretKey_ = MakeEdit("objectSecretKeyEdit", panel);
  secretKey_->setEchoMode(QLineEdit::Password);
  form->addRow(Text("OBJECT_SECRET_KEY"), secretKey_);
  pathStyle_ = new QCheckBox(Text("OBJECT_PATH_STYLE"), panel);
  pathStyle_->setObjectName("objectPathStyleCheck");
  auto* row = new QHBoxLayout;
  row->addWidget(pathStyle_);
  row->addStretch(1);
  auto* test = new QPushButton(Text("FTP_TEST_CONNECTION"), panel);
  test->setObjectName("objectTestButton");
  row->addWidget(test);
  form->addRow(QString(), row);
  // Another folder (or bucket, or endpoint) is not the one refused.
  for (QLineEdit* edit : {endpoint_, bucket_, prefix_})
    connect(edit, &QLineEdit::textChanged, this, [this] {
      if (ctx_->nextChanged) ctx_->nextChanged();
    });
  connect(test, &QPushButton::clicked, this, [this] {
    Store();  // the answers as Next would keep them
    CDlgConnectObjectStore dialog(ObjectFields(), this,
                                  ctx_->planId != 0 ? GetPlanFolder(ctx_->planId) : std::string());
    if (ctx_->planId != 0) dialog.SetContinueQuestion(nullptr);  // only a new plan continues one
    dialog.exec();
    refused_ = dialog.Refused() ? PlaceTyped() : std::string();
    if (ctx_->nextChanged) ctx_->nextChanged();
    WriteContinuedStore(ctx_->ini, dialog.ContinuedStore());
    if (!dialog.AcceptedKey().empty()) {  // trusted there: kept for the plan's "Devices.ini"
      ObjectStoreSettings o = ReadObjectAnswers(ctx_->ini);
      o.pinnedKey = dialog.AcceptedKey();
      WriteObjectAnswers(ctx_->ini, o);
    }
  });
  return panel;
}

ObjectStoreSettings CWPSelectDest::ObjectFields() const {
  ObjectStoreSettings s;
  s.endpoint = Trimmed(endpoint_);
  s.region = Trimmed(region_);
  if (s.region.empty()) s.region = "us-east-1";
  s.bucket = Trimmed(bucket_);
  s.prefix = Trimmed(prefix_);
  s.accessKey = Trimmed(accessKey_);
  s.secretKey = plat::TrimSpace(secretKey_->text().toStdString());
  s.pathStyle = pathStyle_->isChecked() ? 1 : 0;
  // A key trusted for the endpoint stays with it.
  const ObjectStoreSettings before = ReadObjectAnswers(ctx_->ini);
  if (plat::ToLower(before.endpoint) == plat::ToLower(s.endpoint)) s.pinnedKey = before.pinnedKey;
  return s;
}

// The place as the device would reach it: the same folder however typed.
std::string CWPSelectDest::PlaceTyped() const {
  ObjectStoreSettings s = ObjectFields();
  NormaliseObjectSettings(&s);
  return ReadableObjectStore(s) + '\n' + plat::ToLower(s.endpoint);
}

QString CWPSelectDest::NextHeldWhy() const { return Text("OBJECT_FOLDER_REFUSED"); }

bool CWPSelectDest::NextHeld() const {
  return tabs_->currentIndex() == wiz::kTabObject && !refused_.empty() && refused_ == PlaceTyped();
}

bool CWPSelectDest::CheckObjectStore() {
  const ObjectStoreSettings o = ObjectFields();
  const char* key = o.endpoint.empty()                           ? "OBJECT_ENDPOINT_IS_EMPTY"
                    : o.bucket.empty()                           ? "OBJECT_BUCKET_IS_EMPTY"
                    : o.accessKey.empty() || o.secretKey.empty() ? "OBJECT_KEYS_ARE_EMPTY"
                    : ObjectPrefixHasDots(o.prefix)              ? "OBJECT_PREFIX_CLIMBS"
                                                                 : nullptr;
  if (key) WizMessage(kSection, key);
  return key == nullptr;
}
