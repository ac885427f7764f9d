// The painter behind a device context of CreatePainterDC, for drawing that needs no device
// independent bitmap in between (the display window's prepared 32-bit pictures).
#pragma once
#include "platform/gdi/gdi.h"

class QPainter;

namespace tavelo::platform {

// The painter a context of CreatePainterDC draws with; nullptr for any other context.
QPainter* PainterOfDC(HDC dc);

}  // namespace tavelo::platform
