// The product picture: a hand-held reader with a probe on its cable, drawn
// in code so that the window, the desktop icon and the screenshot share it.
#pragma once

#include <QImage>

namespace quarwin {

// The picture at size x size pixels (48 for the window and the icon).
QImage ProductPicture(int size = 48);

}  // namespace quarwin
