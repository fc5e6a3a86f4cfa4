// X11: an empty caption is written straight into the window's two name properties, which the
// toolkit would otherwise fill with the application's name. Other display servers (Wayland, the
// off-screen platform of the tests) keep the toolkit's caption.
#include <xcb/xcb.h>
#include <xcb/xproto.h>

#include <QGuiApplication>
#include <QWidget>
#include <cstdlib>
#include <cstring>

#include "qt/window_caption.h"

namespace quarlex {

namespace {

xcb_atom_t Atom(xcb_connection_t* c, const char* name) {
  const xcb_intern_atom_cookie_t cookie =
      xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name);
  xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(c, cookie, nullptr);
  const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
  std::free(reply);
  return atom;
}

}  // namespace

void SetWindowCaption(QWidget& window, const QString& text) {
  window.setWindowTitle(text);
  if (!text.isEmpty() || QGuiApplication::platformName() != QLatin1String("xcb")) return;
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  if (!x11 || !x11->connection() || !window.windowHandle()) return;
  xcb_connection_t* c = x11->connection();
  const auto id = static_cast<xcb_window_t>(window.winId());
  const xcb_atom_t netName = Atom(c, "_NET_WM_NAME");
  const xcb_atom_t utf8 = Atom(c, "UTF8_STRING");
  if (netName != XCB_ATOM_NONE && utf8 != XCB_ATOM_NONE)
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, id, netName, utf8, 8, 0, nullptr);
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, id, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, 0, nullptr);
  xcb_flush(c);
}

}  // namespace quarlex
