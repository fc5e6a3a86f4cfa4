#pragma once
// Connects the send bar (BtnModeSend, EditSend, the line-ending label PanelNpc6 with its menu
// PopupMenuSend, BtnSend) to the send composer; the wiring brings it the Up and Down keys of the
// send box.
// Main thread only.
#include <QObject>
#include <QTimer>
#include <functional>
#include <string>

#include "qt/window_widgets.h"
#include "tools/file_send.h"
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

  // "Send file…" and a file dropped on the send box: reads `path` and starts sending it; a
  // refused file is reported on the message panel.
  void SendFile(const std::string& path);
  FileSender& fileSender() { return files_; }
  // Asks for the file of "Send file…" (a dialog by default); "" when cancelled. Tests replace it.
  std::function<std::string()> AskFile;

 private:
  // SendUi
  std::string SendText() override;
  void SetSendText(const std::string& utf8) override;
  void PlaceSendCaretAtEnd() override;
  void SetModeCaption(const std::string& text) override;
  void SetLineEndingText(const std::string& text) override;
  void OutExchange() override;

  bool eventFilter(QObject* watched, QEvent* event) override;
  void StepFile();
  void ShowFileSending(bool on);

  Session& session_;
  const SendWidgets w_;
  SessionUi& ui_;
  QWidget& dialogParent_;
  SendComposer composer_;
  FileSender files_;
  QTimer fileTimer_;  // the file send's pace
};

}  // namespace quarlex
