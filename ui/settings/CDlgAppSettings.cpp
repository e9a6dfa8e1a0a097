#include "ui/settings/CDlgAppSettings.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>

#include "common/Settings.h"
#include "common/Texts.h"
#include "engine/PlanList.h"
#include "platform/volumes/Paths.h"
#include "ui/settings/Autostart.h"
#include "ui/widgets/AppMessage.h"
#include "ui/widgets/DesktopOpen.h"
#include "ui/widgets/NativePath.h"
#include "ui/widgets/StyleSheet.h"
#include "ui/widgets/TextFormat.h"

namespace {

constexpr char kSection[] = "DIALOG_APP_SETTING";
constexpr char kBackupSection[] = "Backup Settings";
constexpr char kNotifySection[] = "Show Notification";
constexpr int kIndent = 14;
constexpr int kCheckSide = 18;
// Where the texts of option rows begin (after the check box).
constexpr int kTextLeft = kIndent * 2 + kCheckSide + 10;

QString Text(const char* key) { return QString::fromStdString(GetText(kSection, key)); }

QPixmap LoadImage(const char* relative) {
  return QPixmap(NativeQPath(GetImageFolder() + relative));
}

}  // namespace

// ---- CAppSettingsList ----

CAppSettingsList::CAppSettingsList(QWidget* parent) : QWidget(parent) {
  setObjectName("appSettingsList");
  setFocusPolicy(Qt::StrongFocus);
  setAttribute(Qt::WA_StyledBackground, false);
  rows_ = {
      {true, -1, Text("OPTION_BACKUP_SETTINGS")},
      {false, kBattery, Text("OPTION_NAME_CHECK_BATTERY")},
      {false, kMaxSize, Text("OPTION_NAME_MAX_SIZE_PROMPT")},
      {true, -1, Text("OPTION_SHOW_NOTIFICATION")},
      {false, kError, Text("OPTION_NAME_CHECK_ERROR")},
      {false, kStatus, Text("OPTION_NAME_CHECK_STATUS")},
      {false, kConfirm, Text("OPTION_NAME_CHECK_CONFIRM")},
      {true, -1, Text("OPTION_START_UP")},
      {false, kStartAtLogin, Text("OPTION_NAME_START_AT_LOGIN")},
  };
  unitText_ = Text("OPTION_NAME_MAX_SIZE_UNIT");
  checkedImage_ = LoadImage("CommonControl\\CheckBox\\checkbox_selected.png");
  uncheckedImage_ = LoadImage("CommonControl\\CheckBox\\checkbox_unselected.png");

  sizeEdit_ = new QLineEdit(this);
  sizeEdit_->setObjectName("maxSizeEdit");
  sizeEdit_->setMaxLength(32);
  sizeEdit_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  PlaceSizeEdit();
}

void CAppSettingsList::SetChecked(Option option, bool on) {
  if (option < 0 || option >= kOptionCount || option == kMaxSize) return;
  checked_[option] = on;
  update(OptionRect(option));
}

int CAppSettingsList::RowHeight() const {
  // Follows the font, so the list grows with the screen's scaling.
  return std::max(fontMetrics().height() + 14, sizeEdit_ ? sizeEdit_->sizeHint().height() + 6 : 0);
}

int CAppSettingsList::RowTop(int row) const { return row * RowHeight(); }

int CAppSettingsList::RowOf(int option) const {
  for (size_t i = 0; i < rows_.size(); ++i) {
    if (!rows_[i].heading && rows_[i].option == option) return static_cast<int>(i);
  }
  return -1;
}

QRect CAppSettingsList::OptionRect(Option option) const {
  const int row = RowOf(option);
  if (row < 0) return {};
  return QRect(0, RowTop(row), width(), RowHeight());
}

QSize CAppSettingsList::sizeHint() const {
  const QFontMetrics fm = fontMetrics();
  int widest = 0;
  for (const Row& row : rows_) widest = std::max(widest, fm.horizontalAdvance(row.text));
  const int sizeRow = fm.horizontalAdvance(rows_[RowOf(kMaxSize)].text) + 12 +
                      fm.horizontalAdvance(QStringLiteral("000000")) + 24 + 8 +
                      fm.horizontalAdvance(unitText_);
  const int width = kTextLeft + std::max(widest, sizeRow) + 24;
  return QSize(std::max(width, 380), RowHeight() * static_cast<int>(rows_.size()) + 2);
}

void CAppSettingsList::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  PlaceSizeEdit();
}

void CAppSettingsList::PlaceSizeEdit() {
  const int row = RowOf(kMaxSize);
  const QFontMetrics fm = fontMetrics();
  const int x = kTextLeft + fm.horizontalAdvance(rows_[row].text) + 12;
  const int w = fm.horizontalAdvance(QStringLiteral("000000")) + 24;
  const int h = sizeEdit_->sizeHint().height();
  sizeEdit_->setGeometry(x, RowTop(row) + (RowHeight() - h) / 2, w, h);
}

void CAppSettingsList::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  const QPalette& pal = palette();
  painter.fillRect(rect(), pal.base());
  painter.setPen(QColor(0xd5, 0xde, 0xe8));
  painter.drawRect(rect().adjusted(0, 0, -1, -1));
  const int h = RowHeight();
  const QColor headingBand(0xed, 0xf2, 0xf7);
  const QColor headingText(0x1f, 0x4e, 0x79);
  const QColor rule(0xd5, 0xde, 0xe8);
  QFont bold = font();
  bold.setBold(true);
  for (size_t i = 0; i < rows_.size(); ++i) {
    const Row& row = rows_[i];
    const QRect area(0, RowTop(static_cast<int>(i)), width(), h);
    if (row.heading) {
      painter.fillRect(area, headingBand);
      painter.setPen(rule);
      painter.drawLine(area.bottomLeft(), area.bottomRight());
      painter.setFont(bold);
      painter.setPen(headingText);
      painter.drawText(area.adjusted(kIndent, 0, -kIndent, 0), Qt::AlignVCenter | Qt::AlignLeft,
                       row.text);
      continue;
    }
    painter.setFont(font());
    painter.setPen(pal.color(QPalette::Text));
    if (row.option == kMaxSize) {
      painter.drawText(area.adjusted(kTextLeft, 0, 0, 0), Qt::AlignVCenter | Qt::AlignLeft,
                       row.text);
      const QRect edit = sizeEdit_->geometry();
      painter.drawText(QRect(edit.right() + 8, area.top(), width(), h),
                       Qt::AlignVCenter | Qt::AlignLeft, unitText_);
      continue;
    }
    const bool on = checked_[row.option];
    const QRect box(kIndent * 2, area.top() + (h - kCheckSide) / 2, kCheckSide, kCheckSide);
    const QPixmap& image = on ? checkedImage_ : uncheckedImage_;
    if (!image.isNull()) {
      painter.drawPixmap(box, image);
    } else {
      painter.drawRect(box.adjusted(0, 0, -1, -1));
      if (on) painter.fillRect(box.adjusted(4, 4, -4, -4), pal.color(QPalette::Text));
    }
    painter.drawText(area.adjusted(kTextLeft, 0, -kIndent, 0), Qt::AlignVCenter | Qt::AlignLeft,
                     row.text);
    if (hasFocus() && row.option == current_) {
      painter.setPen(QPen(pal.color(QPalette::Highlight), 1, Qt::DotLine));
      painter.setBrush(Qt::NoBrush);
      painter.drawRect(area.adjusted(kIndent, 2, -kIndent, -3));
    }
  }
}

void CAppSettingsList::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
  const int row = event->position().toPoint().y() / RowHeight();
  if (row < 0 || row >= static_cast<int>(rows_.size())) return;
  const Row& hit = rows_[row];
  if (hit.heading) return;
  if (hit.option == kMaxSize) {
    sizeEdit_->setFocus();
    return;
  }
  current_ = hit.option;
  SetChecked(static_cast<Option>(hit.option), !checked_[hit.option]);
  update();
}

void CAppSettingsList::MoveCurrent(int step) {
  static constexpr int kOrder[] = {kBattery, kMaxSize, kError, kStatus, kConfirm, kStartAtLogin};
  int at = 0;
  for (int i = 0; i < kOptionCount; ++i) {
    if (kOrder[i] == current_) at = i;
  }
  at = std::clamp(at + step, 0, kOptionCount - 1);
  current_ = kOrder[at];
  if (current_ == kMaxSize) sizeEdit_->setFocus();
  update();
}

void CAppSettingsList::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Space:
      if (current_ != kMaxSize) SetChecked(static_cast<Option>(current_), !checked_[current_]);
      break;
    case Qt::Key_Up:
      MoveCurrent(-1);
      break;
    case Qt::Key_Down:
      MoveCurrent(1);
      break;
    default:
      QWidget::keyPressEvent(event);
  }
}

// ---- CDlgAppSettings ----

CDlgAppSettings::CDlgAppSettings(QWidget* parent) : QDialog(parent) {
  setObjectName("appSettingsDialog");
  setWindowTitle(Text("TITLE"));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  setModal(true);
  setStyleSheet(AppStyleSheet());

  list_ = new CAppSettingsList(this);
  list_->SetChecked(CAppSettingsList::kBattery, ReadInternalInt(kBackupSection, "Battery", 1) != 0);
  list_->SetChecked(CAppSettingsList::kError, ReadInternalInt(kNotifySection, "Error", 1) != 0);
  list_->SetChecked(CAppSettingsList::kStatus, ReadInternalInt(kNotifySection, "Status", 1) != 0);
  list_->SetChecked(CAppSettingsList::kConfirm, ReadInternalInt(kNotifySection, "Confirm", 0) != 0);
  list_->SetChecked(CAppSettingsList::kStartAtLogin, GetStartAtLogin());
  const int size = ReadInternalInt(kBackupSection, "BackupFileMaxSize", 0);
  list_->SizeEdit()->setText(size > 0 ? QString::number(size) : QString());

  auto* hint = new QLabel(Text("HINT"), this);
  hint->setObjectName("appSettingsHint");
  hint->setWordWrap(true);

  linkIcon_ = ImageIcon("Buttons", "LinkLogFiles");
  linkHoverIcon_ = ImageIcon("Buttons", "LinkLogFiles_Hover");
  logLink_ = new QPushButton(linkIcon_, Text("OPTION_NAME_BTNLINK_SHOW_LOG_FILES"), this);
  logLink_->setObjectName("showLogFilesLink");
  logLink_->setFlat(true);
  logLink_->setCursor(Qt::PointingHandCursor);
  logLink_->setIconSize(QSize(16, 16));
  logLink_->setAutoDefault(false);
  logLink_->installEventFilter(this);
  logLink_->setToolTip(LogFolder());
  connect(logLink_, &QPushButton::clicked, this, &CDlgAppSettings::OpenLogFolder);

  okButton_ = new QPushButton(Text("BUTTON_OK"), this);
  okButton_->setObjectName("okButton");
  okButton_->setDefault(true);
  cancelButton_ = new QPushButton(Text("BUTTON_CANCEL"), this);
  cancelButton_->setObjectName("cancelButton");
  cancelButton_->setAutoDefault(false);
  for (QPushButton* button : {okButton_, cancelButton_}) {
    button->setProperty("option", true);
    button->setMinimumWidth(90);
  }
  connect(okButton_, &QPushButton::clicked, this, &CDlgAppSettings::accept);
  connect(cancelButton_, &QPushButton::clicked, this, &CDlgAppSettings::reject);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(logLink_);
  buttons->addStretch(1);
  buttons->addWidget(okButton_);
  buttons->addWidget(cancelButton_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(16, 16, 16, 14);
  layout->setSpacing(12);
  layout->addWidget(list_);
  layout->addWidget(hint);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  list_->setFocus();
}

int CDlgAppSettings::ParseSize(const QString& text) {
  long long value = 0;
  bool digits = false;
  for (QChar c : text) {
    if (c < QLatin1Char('0') || c > QLatin1Char('9')) continue;
    digits = true;
    value = value * 10 + (c.unicode() - '0');
    if (value > INT_MAX) return INT_MAX;
  }
  // Nothing but blanks: no limit; words without a number: no size at all.
  if (!digits) return text.trimmed().isEmpty() ? 0 : -1;
  return static_cast<int>(value);
}

QString CDlgAppSettings::LogFolder() { return NativeQPath(GetDataFolder() + "log"); }

void CDlgAppSettings::accept() {
  if (Save()) QDialog::accept();
}

bool CDlgAppSettings::Save() {
  const int size = ParseSize(list_->SizeEdit()->text());
  if (size != 0 && (size < kMinSizeMiB || size > kMaxSizeMiB)) {
    ShowAppMessage(FormatText(GetText(kSection, "ERROR_INPUT"),
                              {std::to_string(kMinSizeMiB), std::to_string(kMaxSizeMiB)}),
                   QMessageBox::Warning);
    list_->SizeEdit()->setFocus();
    list_->SizeEdit()->selectAll();
    return false;
  }
  auto flag = [this](CAppSettingsList::Option option) {
    return list_->IsChecked(option) ? "1" : "0";
  };
  WriteInternalString(kBackupSection, "Battery", flag(CAppSettingsList::kBattery));
  WriteInternalString(kNotifySection, "Error", flag(CAppSettingsList::kError));
  WriteInternalString(kNotifySection, "Status", flag(CAppSettingsList::kStatus));
  WriteInternalString(kNotifySection, "Confirm", flag(CAppSettingsList::kConfirm));
  SetBackupFileMaxSize(size);
  SetStartAtLogin(list_->IsChecked(CAppSettingsList::kStartAtLogin));
  if (!SyncAutostartEntry(PlanList::Instance().Count() > 0)) {
    std::string entry;
    if (!plat::ToNativePath(AutostartEntryPath(), &entry)) entry = AutostartEntryPath();
    ShowAppMessage(FormatText(GetText(kSection, "AUTOSTART_NOT_CHANGED"), {entry}),
                   QMessageBox::Warning);
  }
  return true;
}

void CDlgAppSettings::OpenLogFolder() {
  OpenInDesktop(LogFolder(), GetText(kSection, "LOG_FOLDER_NOT_OPENED"));
}

bool CDlgAppSettings::eventFilter(QObject* watched, QEvent* event) {
  if (watched == logLink_) {
    if (event->type() == QEvent::Enter) logLink_->setIcon(linkHoverIcon_);
    if (event->type() == QEvent::Leave) logLink_->setIcon(linkIcon_);
  }
  return QDialog::eventFilter(watched, event);
}
