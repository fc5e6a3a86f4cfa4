#include "qt/search_controller.h"

#include <QSignalBlocker>

namespace quarlex {

SearchController::SearchController(Session& session, const FindWidgets& widgets, QLineEdit& sendBox,
                                   SessionUi& ui)
    : w_(widgets), sendBox_(sendBox), ui_(ui), tool_(session.Store, *this) {
  // Every change of the box text starts a new search, whoever made it (typing, pasting, the
  // base switch emptying the box); Enter restarts it from the present view.
  connect(w_.EditFind, &QLineEdit::textChanged, this, [this] { tool_.EditFindChange(); });
  connect(w_.EditFind, &QLineEdit::returnPressed, this, [this] { tool_.EditFindChange(); });
  w_.EditFind->setContextMenuPolicy(Qt::NoContextMenu);
  connect(w_.UpDownFind, &UpDownControl::clicked, this, [this](UpDownControl::Button b) {
    tool_.UpDownFindClick(b == UpDownControl::Button::Next ? FindStep::Next : FindStep::Previous);
  });
}

void SearchController::ClearFindBox() {
  w_.EditFind->setText(QString());
  tool_.ClearFind();
}

void SearchController::CloseFindPanel() {
  tool_.BtnFindCloseClick();
}

std::string SearchController::FindText() {
  return w_.EditFind->text().toStdString();
}

void SearchController::SetFindText(const std::string& utf8) {
  // The tool runs the new search itself after emptying the box; the echo would run it twice.
  const QSignalBlocker quiet(w_.EditFind);
  w_.EditFind->setText(QString::fromStdString(utf8));
}

void SearchController::SetFindLabel(const std::string& text) {
  w_.LabelFind->setText(QString::fromStdString(text));
}

void SearchController::SetUpDown(uint32_t maximum, uint32_t position) {
  w_.UpDownFind->SetRange(0, maximum);
  w_.UpDownFind->SetPosition(position);
}

void SearchController::ShowFindPanel() {
  w_.MenuFind->show();
  w_.MenuFind->raise();
  w_.EditFind->setFocus();
}

void SearchController::HideFindPanel() {
  // The focus moves first: hiding the focused box would pass the focus on as a Tab does, and a
  // send box reached by Tab selects all its text, which the next key would then replace.
  sendBox_.setFocus();
  w_.MenuFind->lower();
  w_.MenuFind->hide();
}

void SearchController::OutExchange() {
  ui_.OutExchange();
}

}  // namespace quarlex
