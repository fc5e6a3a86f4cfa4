#include "qt/send_controller.h"

#include <QCursor>
#include <QMessageBox>
#include <exception>

#include "tools/search.h"

namespace quarlex {

SendController::SendController(Session& session, const SendWidgets& widgets, SessionUi& ui,
                               QWidget& dialogParent, SearchTool* search)
    : w_(widgets), ui_(ui), dialogParent_(dialogParent), composer_(session, *this) {
  ShowError = [this](const std::string& text) {
    QMessageBox::critical(&dialogParent_, QStringLiteral("Quarlex"), QString::fromStdString(text));
  };
  if (search) composer_.RingWrapped = [search] { search->CaptureRewritten(); };

  connect(w_.BtnSend, &ClickLabel::clicked, this, [this] { SendClick(); });
  connect(w_.EditSend, &QLineEdit::returnPressed, this, [this] { SendClick(); });
  w_.EditSend->setContextMenuPolicy(Qt::NoContextMenu);
  connect(w_.BtnModeSend, &ClickLabel::clicked, this, [this] { composer_.BtnModeSendClick(); });

  // The line-ending menu: a left click on the label pops it up at the mouse, and it is the
  // context menu of the label and of the "Send" button.
  connect(w_.PanelNpc6, &ClickLabel::clicked, this, [this] { w_.PopupMenuSend->popup(QCursor::pos()); });
  connect(w_.PanelNpc6, &ClickLabel::rightClicked, this, [this](QPoint p) { w_.PopupMenuSend->popup(p); });
  connect(w_.BtnSend, &ClickLabel::rightClicked, this, [this](QPoint p) { w_.PopupMenuSend->popup(p); });
  const std::pair<QAction*, LineEnding> endings[] = {{w_.str_None, LineEnding::None},
                                                     {w_.str_NL, LineEnding::NL},
                                                     {w_.str_CR, LineEnding::CR},
                                                     {w_.str_CRNL, LineEnding::CRNL}};
  for (auto [action, ending] : endings) {
    connect(action, &QAction::triggered, this, [this, action, ending] {
      action->setChecked(true);
      composer_.SetLineEnding(ending);
    });
  }
}

void SendController::SendClick() {
  try {
    composer_.Send();
  } catch (const std::exception& e) {
    // The bytes are already in the capture; the operator learns that the port refused them.
    ShowError(e.what());
  }
}

std::string SendController::SendText() {
  return w_.EditSend->text().toStdString();
}

void SendController::SetSendText(const std::string& utf8) {
  w_.EditSend->setText(QString::fromStdString(utf8));
}

void SendController::PlaceSendCaretAtEnd() {
  w_.EditSend->setCursorPosition(w_.EditSend->text().size());
}

void SendController::SetModeCaption(const std::string& text) {
  w_.BtnModeSend->setText(QString::fromStdString(text));
}

void SendController::SetLineEndingText(const std::string& text) {
  // The send bar's layout gives the label the width of its text and the box the rest.
  w_.PanelNpc6->setText(QString::fromStdString(text));
}

void SendController::OutExchange() {
  ui_.OutExchange();
}

}  // namespace quarlex
