#include "ui/wizard/CPlanWizardDlg.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

#include "destinations/DestinationFactory.h"
#include "destinations/ObjectDevice.h"
#include "engine/PlanList.h"
#include "plans/CPlan.h"
#include "platform/base/Text.h"
#include "platform/process/Clock.h"
#include "platform/profile/Profile.h"
#include "ui/widgets/StyleSheet.h"
#include "ui/widgets/TextFormat.h"
#include "ui/wizard/CWPBackupType.h"
#include "ui/wizard/CWPSelectDest.h"
#include "ui/wizard/CWPSelectSource.h"
#include "ui/wizard/CWPSelectWhenToBackup.h"
#include "ui/wizard/WizardWorker.h"

namespace {

constexpr char kSection[] = "WIZARD_MAIN";
// The destination is given this long to let go before a changed plan is applied.
constexpr int kCloseWaitMs = 500;

QString Text(const char* key) { return WizText(kSection, key); }

}  // namespace

CPlanWizardDlg::CPlanWizardDlg(QWidget* parent, uint32_t planId, int startPage) : QDialog(parent) {
  setObjectName("planWizard");
  setStyleSheet(AppStyleSheet());
  ctx_.planId = planId;
  ctx_.newPlan = planId == 0 || PlanList::Instance().Find(planId) == nullptr;
  if (ctx_.newPlan) ctx_.planId = 0;
  ctx_.worker = new CWizardWorker(this);
  ctx_.nextChanged = [this] {
    const CWizardPage* page = PageAt(CurrentPage());
    next_->setEnabled(!page->NextHeld());
    next_->setToolTip(page->NextHeld() ? page->NextHeldWhy() : QString());
  };
  BeginAnswers(ctx_.planId, &ctx_.ini);
  // The card renames a plan without its answers: the plan's own name counts.
  if (CPlan* plan = ctx_.newPlan ? nullptr : PlanList::Instance().Find(ctx_.planId)) {
    plat::WriteProfileString(ctx_.ini, wiz::kWhenSection, "PlanName", plan->Name().c_str());
    // An object storage plan's secret is in its "Devices.ini" only.
    std::lock_guard<std::recursive_mutex> hold(plan->Lock());
    if (const auto* object = dynamic_cast<const CObjectDevice*>(plan->Destination()))
      ctx_.objectSecret = object->GetObjectSettings().secretKey;
  }
  ReadExtensionList(&ctx_.extensions);
  setWindowTitle(Text(ctx_.newPlan ? "TITLE_NEW" : "TITLE_EDIT"));

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  auto* header = new QFrame(this);
  header->setObjectName("wizardHeader");
  auto* headerLayout = new QVBoxLayout(header);
  headerLayout->setContentsMargins(24, 14, 24, 12);
  headerLayout->setSpacing(8);
  auto* stepRow = new QHBoxLayout;
  stepRow->setSpacing(6);
  const char* stepKeys[4] = {"STEP_TYPE", "STEP_SOURCE", "STEP_DEST", "STEP_WHEN"};
  for (int i = 0; i < 4; ++i) {
    steps_[i] = new QLabel(QString("%1  %2").arg(i + 1).arg(Text(stepKeys[i])), header);
    steps_[i]->setObjectName("wizardStep");
    stepRow->addWidget(steps_[i]);
    if (i < 3) {
      auto* line = new QFrame(header);
      line->setObjectName("wizardStepLine");
      line->setFixedHeight(2);
      line->setMinimumWidth(16);
      stepRow->addWidget(line, 1);
    }
  }
  headerLayout->addLayout(stepRow);
  title_ = new QLabel(header);
  title_->setObjectName("wizardTitle");
  headerLayout->addWidget(title_);
  layout->addWidget(header);

  auto* body = new QWidget(this);
  body->setObjectName("wizardBody");
  auto* bodyLayout = new QVBoxLayout(body);
  bodyLayout->setContentsMargins(24, 16, 24, 12);
  stack_ = new QStackedWidget(body);
  typePage_ = new CWPBackupType(&ctx_, stack_);
  sourcePage_ = new CWPSelectSource(&ctx_, stack_);
  destPage_ = new CWPSelectDest(&ctx_, stack_);
  whenPage_ = new CWPSelectWhenToBackup(&ctx_, stack_);
  for (QWidget* page : {static_cast<QWidget*>(typePage_), static_cast<QWidget*>(sourcePage_),
                        static_cast<QWidget*>(destPage_), static_cast<QWidget*>(whenPage_)})
    stack_->addWidget(page);
  bodyLayout->addWidget(stack_, 1);
  layout->addWidget(body, 1);

  auto* footer = new QFrame(this);
  footer->setObjectName("wizardFooter");
  auto* buttons = new QHBoxLayout(footer);
  buttons->setContentsMargins(24, 10, 24, 12);
  auto make = [&](const char* key, const char* name, const char* role) {
    auto* b = new QPushButton(Text(key), footer);
    b->setObjectName(name);
    b->setProperty("wizardRole", role);
    b->setAutoDefault(false);
    return b;
  };
  cancel_ = make("BUTTON_CANCEL", "wizardCancel", "secondary");
  back_ = make("BUTTON_BACK", "wizardBack", "secondary");
  next_ = make("BUTTON_NEXT", "wizardNext", "primary");
  finish_ = make("BUTTON_FINISH", "wizardFinish", "primary");
  buttons->addWidget(cancel_);
  buttons->addStretch(1);
  buttons->addWidget(back_);
  buttons->addWidget(next_);
  buttons->addWidget(finish_);
  layout->addWidget(footer);

  connect(back_, &QPushButton::clicked, this, &CPlanWizardDlg::GoBack);
  connect(next_, &QPushButton::clicked, this, &CPlanWizardDlg::GoNext);
  connect(finish_, &QPushButton::clicked, this, &CPlanWizardDlg::Finish);
  connect(cancel_, &QPushButton::clicked, this, &CPlanWizardDlg::reject);

  // Fits a 1366x768 screen; grows with the fonts of larger ones.
  setMinimumSize(640, 520);
  resize(std::max(760, fontMetrics().height() * 42), std::max(580, fontMetrics().height() * 32));
  ShowPage(std::clamp(startPage, 0, 3));
}

CPlanWizardDlg::~CPlanWizardDlg() { DiscardAnswers(ctx_.ini); }

int CPlanWizardDlg::CurrentPage() const { return stack_->currentIndex(); }

CWizardPage* CPlanWizardDlg::PageAt(int index) const {
  return static_cast<CWizardPage*>(stack_->widget(index));
}

void CPlanWizardDlg::ShowPage(int index) {
  stack_->setCurrentIndex(index);
  CWizardPage* page = PageAt(index);
  entered_[index] = true;
  page->Enter();
  title_->setText(page->Title());
  for (int i = 0; i < 4; ++i) {
    steps_[i]->setProperty("state", i < index ? "done" : i == index ? "current" : "next");
    steps_[i]->style()->unpolish(steps_[i]);
    steps_[i]->style()->polish(steps_[i]);
  }
  back_->setEnabled(index > 0);
  next_->setVisible(index < kPageWhen);
  ctx_.nextChanged();
  finish_->setVisible(index == kPageWhen);
  (index == kPageWhen ? finish_ : next_)->setDefault(true);
}

void CPlanWizardDlg::GoNext() {
  if (finishing_) return;
  const int index = CurrentPage();
  if (index >= kPageWhen) return;
  CWizardPage* page = PageAt(index);
  if (!page->Check()) return;
  page->Store();
  ShowPage(index + 1);
}

void CPlanWizardDlg::GoBack() {
  if (finishing_) return;
  const int index = CurrentPage();
  if (index <= 0) return;
  PageAt(index)->Store();
  ShowPage(index - 1);
}

void CPlanWizardDlg::Finish() {
  if (finishing_) return;
  // A wizard opened at a later page still checks every page on the way.
  for (int i = 0; i < 4; ++i) {
    CWizardPage* page = PageAt(i);
    if (i == CurrentPage() || i >= kPageDest) {
      if (!entered_[i]) {
        entered_[i] = true;
        page->Enter();
      }
      if (!page->Check()) {
        if (i != CurrentPage()) ShowPage(i);
        return;
      }
      page->Store();
    }
  }
  PlanList& list = PlanList::Instance();
  PlanSettings s;
  SettingsFromAnswers(ctx_.ini, &s);
  const std::string name = plat::TrimSpace(s.name);
  CPlan* existing = ctx_.newPlan ? nullptr : list.Find(ctx_.planId);
  if (name.empty()) {
    WizMessage("WIZARD_WHEN_TO_BACKUP", "PLAN_NAME_IS_EMPTY");
    ShowPage(kPageWhen);
    return;
  }
  if (list.FindByName(name, existing) != nullptr) {
    ShowAppMessage(FormatText(GetText("WIZARD_WHEN_TO_BACKUP", "PLAN_NAME_EXISTS"), {name}),
                   QMessageBox::Warning);
    ShowPage(kPageWhen);
    return;
  }
  // The answers are kept, but no plan can use a destination kind that this
  // build cannot make yet.
  if (!CreateDestination(nullptr, s.storageType)) {
    if (existing) CommitAnswers(ctx_.ini, ctx_.planId);
    WizMessage(kSection, "DESTINATION_NOT_AVAILABLE");
    ShowPage(kPageDest);
    return;
  }
  if (ctx_.newPlan) {
    CPlan* plan = FinishNewPlan(list, ctx_.ini, ctx_.extensions, ctx_.objectSecret);
    if (plan == nullptr) {
      WizMessage(kSection, "PLAN_CREATE_FAILED");
      QDialog::reject();
      return;
    }
    resultId_ = plan->Id();
    changed_ = true;
    accept();
    return;
  }
  if (existing == nullptr) {  // deleted meanwhile
    QDialog::reject();
    return;
  }
  finishing_ = true;
  for (QPushButton* b : {back_, next_, finish_, cancel_}) b->setEnabled(false);
  change_ = BeginPlanChange(existing);
  QTimer::singleShot(kCloseWaitMs, this, &CPlanWizardDlg::CompleteChange);
}

void CPlanWizardDlg::CompleteChange() {
  PlanList& list = PlanList::Instance();
  CPlan* plan = list.Find(change_.id);
  if (plan == nullptr) {
    QDialog::reject();
    return;
  }
  const bool ok = CompletePlanChange(list, plan, change_, ctx_.ini, ctx_.extensions,
                                     honourInitBackup_, ctx_.objectSecret);
  if (!ok) WizMessage(kSection, "PLAN_CHANGE_FAILED");
  resultId_ = ok ? change_.id : 0;
  changed_ = ok;
  ok ? accept() : QDialog::reject();
}

void CPlanWizardDlg::reject() {
  if (finishing_) return;  // a change being applied ends on its own
  QDialog::reject();
}

bool RunPlanWizard(QWidget* parent, uint32_t planId, int startPage) {
  CPlanWizardDlg dialog(parent, planId, startPage);
  dialog.exec();
  return dialog.Changed();
}
