#pragma once
// The main window's caption. The toolkit never leaves a caption empty (it shows the application's
// name instead), but the window's design wants an empty one while the About panel is open, so
// the caption goes through the platform's own call where the toolkit would substitute.
// One implementation file per platform (window_caption_<platform>.cpp). Main thread only.
#include <QString>

class QWidget;

namespace quarlex {

// Sets the caption of the top-level `window` to `text` exactly, also to the empty text.
void SetWindowCaption(QWidget& window, const QString& text);

}  // namespace quarlex
