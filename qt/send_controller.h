#pragma once
// Connects the send bar (BtnModeSend, EditSend, the line-ending label PanelNpc6 with its menu
// PopupMenuSend, BtnSend) to the send composer; the wiring brings it the Up and Down keys of the
// send box.
// Main thread only.
#include <QObject>
#include <functional>
#include <string>

#include "qt/window_widgets.h"
#include "tools/send_composer.h"

namespace quarlex {

class SearchTool;

class SendController : public QObject, private SendUi {
  Q_OBJECT
 public:
  // `search`, when given, is told when a send wraps the ring so it scans the rewritten bytes;
  // `ui` redraws the grid; `dialogParent` owns the error dialog.
  SendController(Session& session, const SendWidgets& widgets, SessionUi& ui, QWidget& dialogParent,
                 SearchTool* search = nullptr);

  SendComposer& composer() { return composer_; }
  // The open port adapted to SendPort; null while none is open.
  void SetPort(SendPort* port) { composer_.Port = port; }

  // How a failed write reaches the operator; an error dialog unless replaced (tests).
  std::function<void(const std::string&)> ShowError;

  // Enter in the send box and the "Send" button: one send, its failure reported.
  void SendClick();

 private:
  // SendUi
  std::string SendText() override;
  void SetSendText(const std::string& utf8) override;
  void PlaceSendCaretAtEnd() override;
  void SetModeCaption(const std::string& text) override;
  void SetLineEndingText(const std::string& text) override;
  void OutExchange() override;

  const SendWidgets w_;
  SessionUi& ui_;
  QWidget& dialogParent_;
  SendComposer composer_;
};

}  // namespace quarlex
