#include "qt/search_controller.h"

#include <QSignalBlocker>

#include "qt/main_window.h"

namespace quarlex {

SearchController::SearchController(MainWindow& window) : w_(window), tool_(window.session().Store, *this) {
  // Every change of the box text starts a new search, whoever made it (typing, pasting, the
  // base switch emptying the box); Enter restarts it from the present view.
  connect(w_.EditFind, &QLineEdit::textChanged, this, [this] { tool_.EditFindChange(); });
  connect(w_.EditFind, &QLineEdit::returnPressed, this, [this] { tool_.EditFindChange(); });
  w_.EditFind->setContextMenuPolicy(Qt::NoContextMenu);
  connect(w_.UpDownFindPrev, &QToolButton::clicked, this, [this] { tool_.UpDownFindClick(FindStep::Previous); });
  connect(w_.UpDownFindNext, &QToolButton::clicked, this, [this] { tool_.UpDownFindClick(FindStep::Next); });

  // The window routes the "Find" and "×" buttons and the mapped keys through these hooks.
  auto hook = [this](KeyAction a) -> std::function<void()>& { return w_.KeyHooks[static_cast<int>(a)]; };
  hook(KeyAction::FindToggle) = [this] { tool_.BtnFindClick(); };
  hook(KeyAction::FindClose) = [this] { tool_.BtnFindCloseClick(); };
  hook(KeyAction::FindPrevious) = [this] { tool_.UpDownFindClick(FindStep::Previous); };
  hook(KeyAction::FindNext) = [this] { tool_.UpDownFindClick(FindStep::Next); };
  w_.FindHook = [this] { tool_.Find(); };
}

std::string SearchController::FindText() { return w_.EditFind->text().toStdString(); }

void SearchController::SetFindText(const std::string& utf8) {
  // The tool runs the new search itself after emptying the box; the echo would run it twice.
  const QSignalBlocker quiet(w_.EditFind);
  w_.EditFind->setText(QString::fromStdString(utf8));
}

void SearchController::SetFindLabel(const std::string& text) { w_.LabelFind->setText(QString::fromStdString(text)); }

void SearchController::SetUpDown(uint32_t, uint32_t) {
  // The step control is two arrow buttons with no range of their own; maximum and position are
  // the tool's (UpDownMaximum, UpDownPosition), and stepping past either end does nothing.
}

void SearchController::ShowFindPanel() {
  w_.MenuFind->show();
  w_.MenuFind->raise();
  w_.EditFind->setFocus();
}

void SearchController::HideFindPanel() {
  w_.MenuFind->lower();
  w_.MenuFind->hide();
  w_.EditSend->setFocus();
}

void SearchController::OutExchange() { w_.OutExchange(); }

}  // namespace quarlex
