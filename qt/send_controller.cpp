#include "qt/send_controller.h"

#include <QCursor>
#include <QMessageBox>
#include <exception>

#include "qt/main_window.h"
#include "qt/search_controller.h"

namespace quarlex {

SendController::SendController(MainWindow& window, SearchController* search)
    : w_(window), composer_(window.session(), *this) {
  ShowError = [this](const std::string& text) {
    QMessageBox::critical(&w_, QStringLiteral("Quarlex"), QString::fromStdString(text));
  };
  if (search) composer_.RingWrapped = [search] { search->tool().CaptureRewritten(); };

  connect(w_.BtnSend, &ClickLabel::clicked, this, [this] { SendClick(); });
  connect(w_.EditSend, &QLineEdit::returnPressed, this, [this] { SendClick(); });
  w_.EditSend->setContextMenuPolicy(Qt::NoContextMenu);
  connect(w_.BtnModeSend, &ClickLabel::clicked, this, [this] { composer_.BtnModeSendClick(); });

  // The line-ending menu: a left click on the label pops it up at the mouse, and it is the
  // context menu of the label and of the "Send" button.
  w_.str_CRNL->setText(QString::fromUtf8("CR и NL "));
  connect(w_.PanelNpc6, &ClickLabel::clicked, this, [this] { w_.PopupMenuSend->popup(QCursor::pos()); });
  connect(w_.PanelNpc6, &ClickLabel::rightClicked, this, [this](QPoint p) { w_.PopupMenuSend->popup(p); });
  connect(w_.BtnSend, &ClickLabel::rightClicked, this, [this](QPoint p) { w_.PopupMenuSend->popup(p); });
  const std::pair<QAction*, LineEnding> endings[] = {
      {w_.str_None, LineEnding::None}, {w_.str_NL, LineEnding::NL}, {w_.str_CR, LineEnding::CR},
      {w_.str_CRNL, LineEnding::CRNL}};
  for (auto [action, ending] : endings) {
    connect(action, &QAction::triggered, this, [this, action, ending] {
      action->setChecked(true);
      composer_.SetLineEnding(ending);
    });
  }

  w_.KeyHooks[static_cast<int>(KeyAction::HistoryUp)] = [this] { composer_.HistoryUp(); };
  w_.KeyHooks[static_cast<int>(KeyAction::HistoryDown)] = [this] { composer_.HistoryDown(); };
}

void SendController::SendClick() {
  try {
    composer_.Send();
  } catch (const std::exception& e) {
    // The bytes are already in the capture; the operator learns that the port refused them.
    ShowError(e.what());
  }
}

std::string SendController::SendText() { return w_.EditSend->text().toStdString(); }

void SendController::SetSendText(const std::string& utf8) { w_.EditSend->setText(QString::fromStdString(utf8)); }

void SendController::PlaceSendCaretAtEnd() { w_.EditSend->setCursorPosition(w_.EditSend->text().size()); }

void SendController::SetModeCaption(const std::string& text) { w_.BtnModeSend->setText(QString::fromStdString(text)); }

void SendController::SetLineEndingText(const std::string& text) {
  // The send bar's layout gives the label the width of its text and the box the rest.
  w_.PanelNpc6->setText(QString::fromStdString(text));
}

void SendController::OutExchange() { w_.OutExchange(); }

}  // namespace quarlex
