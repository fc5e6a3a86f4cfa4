#pragma once
// Connects the send bar (BtnModeSend, EditSend, the line-ending label PanelNpc6 with its menu
// PopupMenuSend, BtnSend) and the Up and Down keys of the send box to the send composer.
// Main thread only.
#include <QObject>
#include <functional>
#include <string>

#include "tools/send_composer.h"

namespace quarlex {

class MainWindow;
class SearchController;

class SendController : public QObject, private SendUi {
  Q_OBJECT
 public:
  // `search`, when given, is told when a send wraps the ring so it scans the rewritten bytes.
  explicit SendController(MainWindow& window, SearchController* search = nullptr);

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

  MainWindow& w_;
  SendComposer composer_;
};

}  // namespace quarlex
