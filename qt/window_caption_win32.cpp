// Windows: the caption is set on the native window directly, where the toolkit would put the
// application's name in place of an empty one.
#include <windows.h>

#include <QWidget>

#include "qt/window_caption.h"

namespace quarlex {

void SetWindowCaption(QWidget& window, const QString& text) {
  window.setWindowTitle(text);
  if (text.isEmpty()) SetWindowTextW(reinterpret_cast<HWND>(window.winId()), L"");
}

}  // namespace quarlex
