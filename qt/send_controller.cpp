#include "qt/send_controller.h"

#include <QCursor>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QMimeData>
#include <QUrl>
#include <exception>

#include "tools/search.h"

namespace quarlex {

SendController::SendController(Session& session, const SendWidgets& widgets, SessionUi& ui,
                               QWidget& dialogParent, SearchTool* search)
    : session_(session),
      w_(widgets),
      ui_(ui),
      dialogParent_(dialogParent),
      composer_(session, *this),
      files_(session, [this] { ui_.OutExchange(); }) {
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

  AskFile = [this] { return QFileDialog::getOpenFileName(&dialogParent_, "Send file").toStdString(); };
  connect(w_.item_SendFile, &QAction::triggered, this, [this] {
    const std::string path = AskFile();
    if (!path.empty()) SendFile(path);
  });
  w_.EditSend->setAcceptDrops(true);
  w_.EditSend->installEventFilter(this);
  fileTimer_.setInterval(10);
  connect(&fileTimer_, &QTimer::timeout, this, [this] { StepFile(); });
  connect(w_.BtnSendCancel, &ClickLabel::clicked, this, [this] {
    files_.Cancel();
    ShowFileSending(false);
  });
}

bool SendController::eventFilter(QObject* watched, QEvent* event) {
  // A file dropped on the send box is sent; text dropped there stays the box's own business.
  if (watched == w_.EditSend && (event->type() == QEvent::DragEnter || event->type() == QEvent::Drop)) {
    auto* drop = static_cast<QDropEvent*>(event);
    const QList<QUrl> urls = drop->mimeData()->urls();
    if (urls.size() == 1 && urls.front().isLocalFile()) {
      drop->acceptProposedAction();
      if (event->type() == QEvent::Drop) SendFile(urls.front().toLocalFile().toStdString());
      return true;
    }
  }
  return QObject::eventFilter(watched, event);
}

void SendController::SendFile(const std::string& path) {
  std::vector<uint8_t> bytes;
  std::string error;
  const std::string name = QFileInfo(QString::fromStdString(path)).fileName().toStdString();
  if (!ReadFileForSend(path, bytes, error)) {
    session_.ShowMessage(error, ErrorColour, 0);
    return;
  }
  SendPort* port = composer_.Port;
  const size_t piece = FilePieceSize(port ? port->Rate() : 115200);
  if (!files_.Start(port, name, std::move(bytes), piece)) return;
  ShowFileSending(files_.Active());
  StepFile();
}

void SendController::StepFile() {
  try {
    if (!files_.Step()) ShowFileSending(false);
  } catch (const std::exception& e) {
    ShowFileSending(false);
    ShowError(e.what());
  }
}

void SendController::ShowFileSending(bool on) {
  w_.BtnSendCancel->setVisible(on);
  if (on) {
    w_.BtnSendCancel->raise();
    fileTimer_.start();
  } else {
    fileTimer_.stop();
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
