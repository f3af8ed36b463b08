#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>

#include <array>

#include "app/model/AppModel.h"
#include "app/ui/InterfaceServices.h"
#include "app/ui/InterfaceWidgets.h"

namespace corvane::app::ui {

// Six boxes and one invisible entry that receives the typing. The entry
// keeps at most six ASCII digits: anything else typed or pasted is dropped.
class EmailCodeInput : public QWidget {
  Q_OBJECT

 public:
  explicit EmailCodeInput(QWidget* parent);

  QLineEdit* entry() const { return entry_; }
  void setCode(const std::string& code);
  // The box that is outlined as the next one, or -1 without the focus.
  int outlinedBox() const;
  QString boxText(int index) const { return boxes_[index]->text(); }

  // The first six ASCII digits of text.
  static std::string filtered(const QString& text);

 signals:
  void codeEdited(const std::string& code);
  void submitted();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  void paintBoxes();

  QLineEdit* entry_;
  std::array<QLabel*, 6> boxes_{};
};

// The page on which the user types the e-mailed code and links the computer.
class EmailVerificationPage : public QWidget {
  Q_OBJECT

 public:
  EmailVerificationPage(AppModel& model, const InterfaceServices& services, QWidget* parent);

  void render(WallTime now);
  void focusCode();
  EmailCodeInput* codeInput() const { return code_; }

 signals:
  // The user goes back to the window's content.
  void back();

 private:
  void submit();
  static QCoro::Task<> resend(QPointer<EmailVerificationPage> page, AppModel* model);

  AppModel& model_;
  const InterfaceServices& services_;
  QPushButton* back_;
  QLabel* headingIcon_;
  QLabel* heading_;
  QLabel* email_;
  QLabel* verified_;
  QLabel* enterCode_;
  EmailCodeInput* code_;
  InlineMessage* message_;
  InlineMessage* expired_;
  QPushButton* main_;
  QWidget* resendRow_;
  QPushButton* resend_;
  QLabel* countdown_;
};

}  // namespace corvane::app::ui
