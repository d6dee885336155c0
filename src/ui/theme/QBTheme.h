#pragma once

#include <QColor>
#include <QFont>

class QApplication;
class QPalette;

// The window's one palette and its fonts: warm off-white paper, near-black ink, one violet accent. Each
// colour is built once, on first read, and never changes.
namespace QBTheme {

const QColor& paperBg();
const QColor& sidebarBg();
const QColor& cardBg();
const QColor& sandWell();
const QColor& softWell();
const QColor& inkPrimary();
const QColor& inkSecondary();
const QColor& inkMuted();
const QColor& violet();
const QColor& lilacTint();
const QColor& emerald();
const QColor& emeraldTint();
const QColor& activeGreen();
const QColor& activeGreenBg();
const QColor& activeGreenBorder();
const QColor& amber();
const QColor& amberTint();
const QColor& crimson();
// Ink at a reduced opacity, not a grey: it stays a translucent line over every surface.
const QColor& hairline();
const QColor& strongLine();

// `color` with its opacity multiplied by `opacity`.
QColor faded(const QColor& color, qreal opacity);

enum class FontDesign { system, serif, monospaced };

// The font at a size in points of the layout (one point is one device-independent pixel, as in the rest of
// the window). The size is set exactly, as a point size from the screen's DPI, never rounded to pixels.
QFont font(qreal points, QFont::Weight weight = QFont::Normal, FontDesign design = FontDesign::system);
// The point size that makes a font `points` layout pixels tall at the given logical DPI.
qreal pointSizeFor(qreal points, qreal logicalDpi);

// The forced light look: Fusion, a palette from the theme and the style sheet of the text inputs, combo
// boxes, progress bars and scroll bars, so a dark desktop theme cannot reach pop-ups or scroll bars.
QPalette palette();
QString styleSheet();
void applyLightLook(QApplication& app);

} // namespace QBTheme
