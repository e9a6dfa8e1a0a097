#include "ui/tray/CDlgSystrayMesssage.h"

#include <QFile>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QToolButton>
#include <QVBoxLayout>

#include "common/Texts.h"
#include "ui/widgets/NativePath.h"
#include "ui/widgets/StyleSheet.h"
#include "ui/widgets/UiTimer.h"

namespace {

constexpr int kWidth = 360;
constexpr int kKindIconSide = 32;

CDlgSystrayMesssage* g_instance = nullptr;  // UI thread only

// Kind icons are drawn at twice their shown size (sharp on scaled screens).
QPixmap LoadIcon(const char* name) {
  QPixmap pixmap(NativeQPath(GetIconPath(name)));
  pixmap.setDevicePixelRatio(2.0);
  return pixmap;
}

}  // namespace

CDlgSystrayMesssage& CDlgSystrayMesssage::Instance() {
  // Made once and kept for the life of the program (hidden, never deleted).
  if (g_instance == nullptr) g_instance = new CDlgSystrayMesssage();
  return *g_instance;
}

void CDlgSystrayMesssage::EndIfOpen() {
  if (g_instance == nullptr) return;
  g_instance->HideMessage();
  g_instance->done(2);
}

CDlgSystrayMesssage::CDlgSystrayMesssage() : QDialog(nullptr) {
  setObjectName("systrayMessage");
  setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                 Qt::WindowDoesNotAcceptFocus);
  setAttribute(Qt::WA_ShowWithoutActivating);
  setWindowTitle(QString::fromStdString(GetProductName()));
  setStyleSheet(AppStyleSheet());

  kindIcons_[static_cast<int>(PopupKind::kWarning)] = LoadIcon("SystrayMsgIcon_Warning");
  kindIcons_[static_cast<int>(PopupKind::kInfo)] = LoadIcon("SystrayMsgIcon_Info");
  kindIcons_[static_cast<int>(PopupKind::kError)] = LoadIcon("SystrayMsgIcon_Error");
  background_ = QPixmap(NativeQPath(GetBackgroundPath("SystrayMsgBK")));

  auto* logo = new QLabel(this);
  const QPixmap product(NativeQPath(GetIconPath("Brevanto")));
  if (!product.isNull()) {
    logo->setPixmap(product.scaled(18, 18, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  }
  auto* title = new QLabel(QString::fromStdString(GetProductName()), this);
  title->setObjectName("systrayMessageTitle");
  QFont titleFont = title->font();
  titleFont.setBold(true);
  title->setFont(titleFont);

  closeButton_ = new QToolButton(this);
  closeButton_->setObjectName("systrayMessageClose");
  closeButton_->setIcon(ImageIcon("Buttons", "PopupClose"));
  closeButton_->setIconSize(QSize(12, 12));
  closeButton_->setAutoRaise(true);
  closeButton_->setCursor(Qt::PointingHandCursor);
  closeButton_->setToolTip(QString::fromStdString(GetText("MAIN_UI", "POPUP_CLOSE")));
  connect(closeButton_, &QToolButton::clicked, this, &CDlgSystrayMesssage::HideMessage);

  kindLabel_ = new QLabel(this);
  kindLabel_->setObjectName("systrayMessageIcon");
  kindLabel_->setFixedSize(kKindIconSide, kKindIconSide);
  kindLabel_->setAlignment(Qt::AlignCenter);

  textLabel_ = new QLabel(this);
  textLabel_->setObjectName("systrayMessageText");
  textLabel_->setWordWrap(true);
  textLabel_->setTextFormat(Qt::PlainText);
  textLabel_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  textLabel_->setMinimumHeight(kKindIconSide);

  auto* header = new QHBoxLayout;
  header->setSpacing(6);
  header->addWidget(logo);
  header->addWidget(title, 1);
  header->addWidget(closeButton_);
  auto* body = new QHBoxLayout;
  body->setSpacing(12);
  body->addWidget(kindLabel_, 0, Qt::AlignTop);
  body->addWidget(textLabel_, 1);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(12, 8, 8, 14);
  layout->setSpacing(10);
  layout->addLayout(header);
  layout->addLayout(body);
  actionButton_ = new QPushButton(this);
  actionButton_->setObjectName("systrayMessageAction");
  actionButton_->setCursor(Qt::PointingHandCursor);
  actionButton_->hide();
  connect(actionButton_, &QPushButton::clicked, this, [this] {
    const std::function<void()> action = std::move(action_);
    action_ = nullptr;
    HideMessage();
    if (action) action();
  });
  layout->addWidget(actionButton_, 0, Qt::AlignRight);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  textLabel_->setFixedWidth(kWidth - 12 - 8 - kKindIconSide - 12);
}

CDlgSystrayMesssage::~CDlgSystrayMesssage() {
  if (g_instance == this) g_instance = nullptr;
}

void CDlgSystrayMesssage::ShowMessage(const QString& text, PopupKind kind,
                                      const QString& actionText, std::function<void()> action) {
  ShowMessage(text, kind);
  action_ = std::move(action);
  actionButton_->setText(actionText);
  actionButton_->setVisible(static_cast<bool>(action_));
  adjustSize();
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen != nullptr) move(PlaceFor(screen->availableGeometry(), frameGeometry().size()));
}

void CDlgSystrayMesssage::ShowMessage(const QString& text, PopupKind kind) {
  action_ = nullptr;
  actionButton_->hide();
  // BREVANTO_POPUP_LOG: each pop-up also goes to that file as one line, so
  // that a run of the program can be checked for what it told the user.
  const QString log = qEnvironmentVariable("BREVANTO_POPUP_LOG");
  if (!log.isEmpty()) {
    QFile file(log);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append)) {
      QString line = text;
      line.replace('\r', ' ').replace('\n', ' ');
      file.write(line.toUtf8() + '\n');
    }
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    text_ = text;
    kind_ = kind;
    textLabel_->setText(text);
    kindLabel_->setPixmap(KindIcon(kind));
    if (!shown_) {
      shown_ = true;
      // A fresh timer for each showing: it runs on whatever clock is current.
      hideTimer_ = MakeUiTimer();
      hideTimer_->OnTimeout([this] { HideMessage(); });
    }
    hideTimer_->Start(kShowMs);  // each message gets its full time
  }
  adjustSize();
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen != nullptr) move(PlaceFor(screen->availableGeometry(), frameGeometry().size()));
  show();
  raise();
  update();
}

void CDlgSystrayMesssage::HideMessage() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (hideTimer_) hideTimer_->Stop();
    shown_ = false;
  }
  hide();
}

bool CDlgSystrayMesssage::IsShown() {
  std::lock_guard<std::mutex> guard(lock_);
  return shown_;
}

QString CDlgSystrayMesssage::Text() {
  std::lock_guard<std::mutex> guard(lock_);
  return text_;
}

PopupKind CDlgSystrayMesssage::Kind() {
  std::lock_guard<std::mutex> guard(lock_);
  return kind_;
}

const QPixmap& CDlgSystrayMesssage::KindIcon(PopupKind kind) const {
  const int index = static_cast<int>(kind);
  return kindIcons_[index >= 0 && index < 3 ? index : 1];
}

QPoint CDlgSystrayMesssage::PlaceFor(const QRect& available, const QSize& size) {
  return QPoint(available.x() + available.width() - size.width() - kEdgeMargin,
                available.y() + available.height() - size.height() - kEdgeMargin);
}

void CDlgSystrayMesssage::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  const QRect area = rect();
  if (!background_.isNull()) {
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(area, background_);
  } else {
    painter.fillRect(area, palette().window());
  }
  painter.setPen(QColor(0x9a, 0xab, 0xbd));
  painter.drawRect(area.adjusted(0, 0, -1, -1));
  QDialog::paintEvent(event);
}
