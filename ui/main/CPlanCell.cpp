#include "ui/main/CPlanCell.h"

#include <QAction>
#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <atomic>
#include <utility>

#include "common/Texts.h"
#include "ui/widgets/ElidedLabel.h"
#include "ui/widgets/NativePath.h"
#include "ui/widgets/StyleSheet.h"

namespace {

std::atomic<bool> g_animate{true};

QString Text(const char* section, const char* key) {
  return QString::fromStdString(GetText(section, key));
}

QLabel* Caption(const char* key, QWidget* parent) {
  auto* label = new QLabel(Text("UGGRID", key), parent);
  label->setObjectName("cellCaption");
  return label;
}

// A value cut with an ellipsis when the card is narrower than its text.
CElidedLabel* Value(const char* objectName, QWidget* parent,
                    Qt::TextElideMode mode = Qt::ElideRight) {
  auto* label = new CElidedLabel(mode, parent);
  label->setObjectName(objectName);
  label->setProperty("cellValue", true);
  label->setTextFormat(Qt::PlainText);
  return label;
}

QToolButton* IconButton(const char* objectName, const char* image, const QString& tip,
                        QWidget* parent) {
  auto* button = new QToolButton(parent);
  button->setObjectName(objectName);
  button->setProperty("cellAction", true);
  button->setIcon(ImageIcon("Buttons", image));
  button->setIconSize(QSize(22, 22));
  button->setToolTip(tip);
  button->setAutoRaise(true);
  button->setCursor(Qt::PointingHandCursor);
  return button;
}

QPushButton* OptionButton(const char* objectName, const char* image, const char* key,
                          QWidget* parent) {
  auto* button = new QPushButton(ImageIcon("Buttons", image), Text("MAIN_UI", key), parent);
  button->setObjectName(objectName);
  button->setProperty("option", true);
  button->setIconSize(QSize(18, 18));
  button->setCursor(Qt::PointingHandCursor);
  return button;
}

void Repolish(QWidget* w) {
  w->style()->unpolish(w);
  w->style()->polish(w);
}

}  // namespace

// The status image; while animated a ring of dots turns around it.
class CStatusIcon : public QWidget {
 public:
  explicit CStatusIcon(QWidget* parent) : QWidget(parent), timer_(new QTimer(this)) {
    setObjectName("statusIcon");
    setFixedSize(48, 48);
    timer_->setInterval(120);
    connect(timer_, &QTimer::timeout, this, [this] {
      step_ = (step_ + 1) % 12;
      update();
    });
  }

  void Set(const QString& name, const QColor& colour, bool animated) {
    if (name != name_) {
      name_ = name;
      pixmap_ = QPixmap(NativeQPath(GetIconPath(name.toStdString())));
    }
    colour_ = colour;
    animated_ = animated;
    if (animated_ && g_animate.load()) {
      if (!timer_->isActive()) timer_->start();
    } else {
      timer_->stop();
      step_ = 0;
    }
    update();
  }

  bool Animated() const { return animated_; }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    const QRectF box(0, 0, width(), height());
    if (!pixmap_.isNull()) {
      const double inset = animated_ ? 9 : 4;
      p.drawPixmap(box.adjusted(inset, inset, -inset, -inset), pixmap_, QRectF(pixmap_.rect()));
    }
    if (!animated_) return;
    // Twelve dots on a ring; the brightest one moves with the animation.
    const QPointF centre = box.center();
    const double radius = width() / 2.0 - 3.5;
    for (int i = 0; i < 12; ++i) {
      const int age = (step_ - i + 12) % 12;
      QColor c = colour_;
      c.setAlphaF(age < 6 ? 1.0 - age * 0.14 : 0.18);
      p.setPen(Qt::NoPen);
      p.setBrush(c);
      p.save();
      p.translate(centre);
      p.rotate(i * 30.0);
      p.drawEllipse(QPointF(0, -radius), 2.6, 2.6);
      p.restore();
    }
  }

 private:
  QTimer* timer_;
  QString name_;
  QPixmap pixmap_;
  QColor colour_;
  bool animated_ = false;
  int step_ = 0;
};

void CPlanCell::SetAnimationsEnabled(bool enabled) { g_animate.store(enabled); }

CPlanCell::CPlanCell(uint32_t id, QWidget* parent) : QFrame(parent), id_(id) {
  setObjectName("planCell");
  setAttribute(Qt::WA_StyledBackground, true);
  setProperty("status", "running");

  icon_ = new CStatusIcon(this);

  name_ = new CElidedLabel(Qt::ElideRight, this);
  name_->setObjectName("planName");
  name_->setTextFormat(Qt::PlainText);
  name_->setToolTip(Text("UGGRID", "RENAME"));
  name_->installEventFilter(this);
  nameEdit_ = new QLineEdit(this);
  nameEdit_->setObjectName("planNameEdit");
  nameEdit_->setMaxLength(255);
  nameEdit_->hide();
  nameEdit_->installEventFilter(this);
  rename_ = IconButton("renameButton", "Rename", Text("UGGRID", "RENAME"), this);
  rename_->setIconSize(QSize(16, 16));

  status_ = new CElidedLabel(Qt::ElideRight, this);
  status_->setObjectName("planStatus");
  status_->setTextFormat(Qt::PlainText);

  checkServer_ = new QPushButton(Text("UGGRID", "CHECK_SERVER"), this);
  checkServer_->setObjectName("checkServerButton");
  checkServer_->setFlat(true);
  checkServer_->setCursor(Qt::PointingHandCursor);
  checkServer_->hide();
  makeRoom_ = new QPushButton(Text("UGGRID", "MAKE_ROOM"), this);
  makeRoom_->setObjectName("makeRoomButton");
  makeRoom_->setFlat(true);
  makeRoom_->setCursor(Qt::PointingHandCursor);
  makeRoom_->hide();

  backupNow_ =
      IconButton("backupNowButton", "BackupNow", Text("MAIN_UI", "BUTTON_TIP_BACKUPNOW"), this);
  pause_ = IconButton("pauseButton", "Pause", Text("MAIN_UI", "BUTTON_TIP_PAUSE"), this);
  delete_ = IconButton("deleteButton", "Delete", Text("MAIN_UI", "BUTTON_TIP_DELETE"), this);

  CElidedLabel* destination = Value("destinationValue", this, Qt::ElideMiddle);
  destination->SetMinimumChars(12);
  destination_ = destination;
  // Short and whole: the destination's path is cut first.
  space_ = new QLabel(this);
  space_->setObjectName("spaceValue");
  space_->setTextFormat(Qt::PlainText);
  schedule_ = Value("scheduleValue", this);
  next_ = Value("nextValue", this);
  last_ = Value("lastValue", this);
  pending_ = Value("pendingValue", this);
  notProtected_ = Value("notProtectedValue", this);
  notProtected_->hide();
  versions_ = Value("versionsValue", this);
  versions_->hide();

  more_ = new QPushButton(this);
  more_->setObjectName("moreButton");
  more_->setFlat(true);
  more_->setCursor(Qt::PointingHandCursor);
  more_->setIconSize(QSize(14, 14));

  optionRow_ = new QWidget(this);
  optionRow_->setObjectName("optionRow");
  edit_ = OptionButton("editButton", "Edit", "BUTTON_EDIT_PLAN", optionRow_);
  archive_ = OptionButton("archiveButton", "Burn", "BUTTON_BURN", optionRow_);
  auto* optionLayout = new QHBoxLayout(optionRow_);
  optionLayout->setContentsMargins(0, 4, 0, 0);
  optionLayout->setSpacing(8);
  optionLayout->addWidget(edit_);
  optionLayout->addWidget(archive_);
  optionLayout->addStretch(1);
  optionRow_->hide();

  // Title line: name with its rename button, then the plan's buttons.
  auto* title = new QHBoxLayout;
  title->setSpacing(4);
  title->addWidget(name_);
  title->addWidget(nameEdit_, 1);
  title->addWidget(rename_);
  title->addStretch(1);
  // Restore is always in view, not under the option row.
  restore_ = OptionButton("restoreButton", "Restore", "BUTTON_RESTORE", this);
  title->addWidget(restore_);
  title->addWidget(backupNow_);
  title->addWidget(pause_);
  title->addWidget(delete_);

  auto* destinationBox = new QHBoxLayout;
  destinationBox->setSpacing(8);
  destinationBox->addWidget(destination_);
  destinationBox->addWidget(space_);
  destinationBox->addStretch(1);

  auto* grid = new QGridLayout;
  grid->setHorizontalSpacing(10);
  grid->setVerticalSpacing(4);
  grid->addWidget(Caption("DESTINATION_LABEL", this), 0, 0);
  grid->addLayout(destinationBox, 0, 1);
  grid->addWidget(Caption("SCHEDULE_LABEL", this), 0, 2);
  grid->addWidget(schedule_, 0, 3);
  grid->addWidget(Caption("NEXT_BACKUP_TIME_PREFIX", this), 1, 0);
  grid->addWidget(next_, 1, 1);
  grid->addWidget(Caption("LAST_BACKUP_TIME_PREFIX", this), 1, 2);
  grid->addWidget(last_, 1, 3);
  grid->addWidget(Caption("PENDING_FILES", this), 2, 0);
  grid->addWidget(pending_, 2, 1);
  grid->setColumnStretch(1, 3);
  grid->setColumnStretch(3, 2);
  grid->setColumnMinimumWidth(2, 0);

  auto* body = new QVBoxLayout;
  body->setSpacing(2);
  body->addLayout(title);
  body->addWidget(status_);
  body->addWidget(checkServer_, 0, Qt::AlignLeft);
  body->addWidget(makeRoom_, 0, Qt::AlignLeft);
  body->addSpacing(8);
  body->addLayout(grid);
  body->addWidget(versions_);
  body->addWidget(notProtected_);
  body->addSpacing(4);
  auto* moreLine = new QHBoxLayout;
  moreLine->addWidget(more_);
  moreLine->addStretch(1);
  body->addLayout(moreLine);
  body->addWidget(optionRow_);

  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(16, 12, 14, 10);
  layout->setSpacing(14);
  layout->addWidget(icon_, 0, Qt::AlignTop);
  layout->addLayout(body, 1);

  connect(backupNow_, &QToolButton::clicked, this, [this] { emit backupNowClicked(id_); });
  connect(pause_, &QToolButton::clicked, this, [this] { emit pauseLaunchClicked(id_); });
  connect(delete_, &QToolButton::clicked, this, [this] { emit deleteClicked(id_); });
  connect(edit_, &QPushButton::clicked, this, [this] { emit editClicked(id_); });
  connect(restore_, &QPushButton::clicked, this, [this] { emit restoreClicked(id_); });
  connect(archive_, &QPushButton::clicked, this, [this] { emit archiveClicked(id_); });
  connect(checkServer_, &QPushButton::clicked, this, [this] { emit checkServerClicked(id_); });
  connect(makeRoom_, &QPushButton::clicked, this, [this] { emit makeRoomClicked(id_); });
  connect(more_, &QPushButton::clicked, this, [this] { SetOptionsOpen(!optionsOpen_); });
  connect(rename_, &QToolButton::clicked, this, [this] { StartRename(); });
  SetOptionsOpen(false);
}

CPlanCell::~CPlanCell() = default;

void CPlanCell::SetContent(const CellContent& c) {
  // The view refreshes every two seconds and after every run; most of those
  // change nothing, and a style sheet or an icon set again costs a restyle.
  if (applied_ && c == content_) return;
  const bool first = !std::exchange(applied_, true);
  const CellContent old = std::exchange(content_, c);
  if (!renaming_) name_->setText(c.name);
  status_->setText(c.statusText);
  checkServer_->setVisible(c.checkServer);
  makeRoom_->setVisible(c.offerMakeRoom);
  versions_->setText(c.versions);
  versions_->setVisible(!c.versions.isEmpty());
  if (first || old.statusColour != c.statusColour) {
    QPalette palette = status_->palette();
    palette.setColor(QPalette::WindowText, c.statusColour);
    status_->setPalette(palette);
    status_->setStyleSheet(QStringLiteral("color: %1;").arg(c.statusColour.name()));
  }
  if (property("status").toString() != c.statusKind) {
    setProperty("status", c.statusKind);
    Repolish(this);
  }
  icon_->Set(c.iconName, c.statusColour, c.animated);
  destination_->setText(c.destination);
  destination_->setToolTip(c.destinationTip);
  space_->setText(c.space);
  space_->setVisible(!c.space.isEmpty());
  space_->setToolTip(c.destinationTip);
  schedule_->setText(c.schedule);
  next_->setText(c.nextBackup);
  last_->setText(c.lastBackup);
  pending_->setText(c.pending);
  notProtected_->setText(c.notProtected);
  notProtected_->setVisible(!c.notProtected.isEmpty());
  backupNow_->setEnabled(c.canBackUpNow);
  if (first || old.showLaunch != c.showLaunch) {
    pause_->setIcon(ImageIcon("Buttons", c.showLaunch ? "Launch" : "Pause"));
    pause_->setToolTip(Text("MAIN_UI", c.showLaunch ? "BUTTON_TIP_LAUNCH" : "BUTTON_TIP_PAUSE"));
  }
}

void CPlanCell::SetOptionsOpen(bool open) {
  optionsOpen_ = open;
  optionRow_->setVisible(open);
  more_->setText(Text("MAIN_UI", open ? "BUTTON_LESS_OPTIONS" : "BUTTON_MORE_OPTIONS"));
  more_->setIcon(ImageIcon("Buttons", open ? "Less" : "More"));
}

void CPlanCell::StartRename() {
  if (renaming_) return;
  renaming_ = true;
  nameEdit_->setText(content_.name);
  name_->hide();
  rename_->hide();
  nameEdit_->show();
  nameEdit_->setFocus();
  nameEdit_->selectAll();
}

bool CPlanCell::IsRenaming() const { return renaming_; }

void CPlanCell::FinishRename(bool store) {
  if (!renaming_) return;
  renaming_ = false;
  const QString text = nameEdit_->text();
  nameEdit_->hide();
  name_->show();
  rename_->show();
  name_->setText(content_.name);
  if (store && text != content_.name) emit renameRequested(id_, text);
}

bool CPlanCell::eventFilter(QObject* watched, QEvent* event) {
  if (watched == name_ && event->type() == QEvent::MouseButtonDblClick) {
    StartRename();
    return true;
  }
  if (watched == nameEdit_) {
    if (event->type() == QEvent::KeyPress) {
      auto* key = static_cast<QKeyEvent*>(event);
      if (key->key() == Qt::Key_Escape) {
        FinishRename(false);
        return true;
      }
      if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
        FinishRename(true);
        return true;
      }
    } else if (event->type() == QEvent::FocusOut) {
      FinishRename(true);
    }
  }
  return QFrame::eventFilter(watched, event);
}
