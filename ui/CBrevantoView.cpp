#include "ui/CBrevantoView.h"

#include <QFont>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QVBoxLayout>

#include "app/Texts.h"
#include "ui/EngineStartup.h"
#include "ui/NativePath.h"

namespace {

QLabel* MakeLabel(const std::string& text, QWidget* parent, int pixelSize, bool bold,
                  const char* objectName) {
  auto* label = new QLabel(QString::fromStdString(text), parent);
  QFont font = label->font();
  font.setPixelSize(pixelSize);
  font.setBold(bold);
  label->setFont(font);
  label->setObjectName(objectName);
  return label;
}

}  // namespace

CBrevantoView::CBrevantoView(QWidget* parent) : QWidget(parent) {
  RunEngineStartup();
  pump_.Start();

  setObjectName("brevantoView");
  setAttribute(Qt::WA_StyledBackground, true);
  setStyleSheet(
      "#brevantoView { background: #eef2f6; }"
      "#viewHeader { background: #1f6fb2; }"
      "#viewHeader QLabel { color: white; }"
      "#plansCard { background: white; border: 1px solid #d3dbe4; border-radius: 6px; }"
      "#plansTitle { color: #1d2935; }"
      "#plansText { color: #5b6773; }");

  auto* header = new QFrame(this);
  header->setObjectName("viewHeader");
  auto* logo = new QLabel(header);
  QPixmap pixmap(NativeQPath(GetIconPath("Brevanto")));
  if (!pixmap.isNull()) {
    logo->setPixmap(pixmap.scaled(40, 40, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  }
  auto* headerLayout = new QHBoxLayout(header);
  headerLayout->setContentsMargins(20, 14, 20, 14);
  headerLayout->setSpacing(12);
  headerLayout->addWidget(logo);
  headerLayout->addWidget(MakeLabel(GetProductName(), header, 22, true, "productLabel"));
  headerLayout->addStretch(1);

  auto* card = new QFrame(this);
  card->setObjectName("plansCard");
  auto* emblem = new QLabel(card);
  if (!pixmap.isNull()) {
    QPixmap faded(pixmap.size());
    faded.fill(Qt::transparent);
    QPainter painter(&faded);
    painter.setOpacity(0.35);
    painter.drawPixmap(0, 0, pixmap);
    painter.end();
    emblem->setPixmap(faded.scaled(64, 64, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  }
  auto* title =
      MakeLabel(GetText("MAIN_UI", "PLANS_PLACEHOLDER_TITLE"), card, 17, true, "plansTitle");
  auto* text =
      MakeLabel(GetText("MAIN_UI", "PLANS_PLACEHOLDER_TEXT"), card, 13, false, "plansText");
  text->setWordWrap(true);
  for (QLabel* label : {emblem, title, text}) label->setAlignment(Qt::AlignCenter);
  auto* cardLayout = new QVBoxLayout(card);
  cardLayout->setContentsMargins(40, 24, 40, 24);
  cardLayout->setSpacing(10);
  cardLayout->addStretch(1);
  cardLayout->addWidget(emblem);
  cardLayout->addSpacing(6);
  cardLayout->addWidget(title);
  cardLayout->addWidget(text);
  cardLayout->addStretch(1);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(header);
  auto* body = new QVBoxLayout;
  body->setContentsMargins(20, 20, 20, 20);
  body->addWidget(card, 1);
  layout->addLayout(body, 1);
}
