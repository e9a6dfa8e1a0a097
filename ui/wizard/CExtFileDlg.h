// The editor of the user's own file extensions: type an extension, add it to
// the list, remove entries; OK keeps the list.
#pragma once
#include <QDialog>
#include <string>
#include <vector>

class QLineEdit;
class QListWidget;
class QPushButton;

class CExtFileDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CExtFileDlg(QWidget* parent = nullptr);

  void SetMasks(const std::vector<std::string>& masks);
  std::vector<std::string> Masks() const;

  // Adds the typed text; false (after a message) when it is no extension.
  bool AddTyped();
  void RemoveSelected();

  QLineEdit* Edit() const { return edit_; }
  QListWidget* List() const { return list_; }

 private:
  QLineEdit* edit_;
  QListWidget* list_;
  QPushButton* remove_;
};
