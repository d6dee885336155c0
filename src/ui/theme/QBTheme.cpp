#include "ui/theme/QBTheme.h"

#include <QApplication>
#include <QPalette>
#include <QScreen>
#include <QStyleFactory>

namespace QBTheme {

namespace {
QColor srgb(double r, double g, double b, double a = 1.0)
{
    return QColor::fromRgbF(float(r), float(g), float(b), float(a));
}

// The Noto CJK families carry Latin glyphs of their own, so mixed Chinese and Latin text keeps one design;
// the others stand in where fonts-noto-cjk is missing.
const QStringList& families(FontDesign design)
{
    // The result texts begin with "✅" or "❌": the emoji font covers those.
    static const QStringList system{QStringLiteral("Noto Sans CJK SC"), QStringLiteral("DejaVu Sans"),
                                    QStringLiteral("WenQuanYi Micro Hei"),
                                    QStringLiteral("Noto Color Emoji")};
    static const QStringList serif{QStringLiteral("Noto Serif CJK SC"), QStringLiteral("DejaVu Serif"),
                                   QStringLiteral("Noto Sans CJK SC"), QStringLiteral("WenQuanYi Micro Hei"),
                                   QStringLiteral("Noto Color Emoji")};
    static const QStringList mono{QStringLiteral("DejaVu Sans Mono"), QStringLiteral("Noto Sans Mono CJK SC"),
                                  QStringLiteral("WenQuanYi Micro Hei Mono"),
                                  QStringLiteral("Noto Color Emoji")};
    switch (design) {
    case FontDesign::serif:
        return serif;
    case FontDesign::monospaced:
        return mono;
    case FontDesign::system:
        break;
    }
    return system;
}

qreal logicalDpi()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->logicalDotsPerInchY() : 96.0;
}
} // namespace

#define QB_THEME_COLOUR(name, ...)                                                                           \
    const QColor& name()                                                                                     \
    {                                                                                                        \
        static const QColor colour = srgb(__VA_ARGS__);                                                      \
        return colour;                                                                                       \
    }

QB_THEME_COLOUR(paperBg, 0.965, 0.961, 0.941)
QB_THEME_COLOUR(sidebarBg, 0.937, 0.925, 0.894)
QB_THEME_COLOUR(cardBg, 0.992, 0.988, 0.976)
QB_THEME_COLOUR(sandWell, 0.918, 0.902, 0.859)
QB_THEME_COLOUR(softWell, 0.953, 0.945, 0.922)
QB_THEME_COLOUR(inkPrimary, 0.090, 0.086, 0.106)
QB_THEME_COLOUR(inkSecondary, 0.400, 0.392, 0.427)
QB_THEME_COLOUR(inkMuted, 0.565, 0.553, 0.592)
QB_THEME_COLOUR(violet, 0.353, 0.275, 0.910)
QB_THEME_COLOUR(lilacTint, 0.925, 0.914, 0.984)
QB_THEME_COLOUR(emerald, 0.078, 0.502, 0.290)
QB_THEME_COLOUR(emeraldTint, 0.890, 0.961, 0.918)
QB_THEME_COLOUR(activeGreen, 0.055, 0.635, 0.345)
QB_THEME_COLOUR(activeGreenBg, 0.875, 0.972, 0.922)
QB_THEME_COLOUR(activeGreenBorder, 0.075, 0.655, 0.365)
QB_THEME_COLOUR(amber, 0.780, 0.435, 0.055)
QB_THEME_COLOUR(amberTint, 0.988, 0.949, 0.882)
QB_THEME_COLOUR(crimson, 0.820, 0.196, 0.235)
QB_THEME_COLOUR(hairline, 0.090, 0.086, 0.106, 0.085)
QB_THEME_COLOUR(strongLine, 0.090, 0.086, 0.106, 0.16)

#undef QB_THEME_COLOUR

QColor faded(const QColor& color, qreal opacity)
{
    QColor result = color;
    result.setAlphaF(float(color.alphaF() * opacity));
    return result;
}

qreal pointSizeFor(qreal points, qreal dpi)
{
    return points * 72.0 / dpi;
}

QFont font(qreal points, QFont::Weight weight, FontDesign design)
{
    QFont result;
    result.setFamilies(families(design));
    result.setStyleHint(design == FontDesign::serif        ? QFont::Serif
                        : design == FontDesign::monospaced ? QFont::Monospace
                                                           : QFont::SansSerif);
    result.setPointSizeF(pointSizeFor(points, logicalDpi()));
    result.setWeight(weight);
    // Fractional sizes stay fractional: no hinting snaps the outlines to whole pixels.
    result.setHintingPreference(QFont::PreferNoHinting);
    return result;
}

QPalette palette()
{
    QPalette p;
    p.setColor(QPalette::Window, paperBg());
    p.setColor(QPalette::WindowText, inkPrimary());
    p.setColor(QPalette::Base, softWell());
    p.setColor(QPalette::AlternateBase, cardBg());
    p.setColor(QPalette::Text, inkPrimary());
    p.setColor(QPalette::PlaceholderText, inkMuted());
    p.setColor(QPalette::Button, softWell());
    p.setColor(QPalette::ButtonText, inkPrimary());
    p.setColor(QPalette::BrightText, Qt::white);
    p.setColor(QPalette::Highlight, violet());
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::ToolTipBase, cardBg());
    p.setColor(QPalette::ToolTipText, inkPrimary());
    p.setColor(QPalette::Link, violet());
    p.setColor(QPalette::Light, cardBg());
    p.setColor(QPalette::Midlight, softWell());
    p.setColor(QPalette::Mid, sandWell());
    p.setColor(QPalette::Dark, inkMuted());
    p.setColor(QPalette::Shadow, inkSecondary());
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, inkMuted());
    return p;
}

QString styleSheet()
{
    const auto css = [](const QColor& c) {
        return QStringLiteral("rgba(%1,%2,%3,%4)").arg(c.red()).arg(c.green()).arg(c.blue()).arg(c.alphaF());
    };
    // Text inputs take the look of qbInputStyle() or qbCompactInputStyle() (QBInput.h) through the property
    // they set; the rest keeps pop-ups and scroll bars on paper whatever the desktop's theme.
    return QStringLiteral(
               "*[qbInput=\"true\"] { background: %1; color: %2; border: 1px solid %3; border-radius: 8px;"
               " padding: 0px 10px; selection-background-color: %4; selection-color: white; }"
               "*[qbInput=\"true\"]:focus { border: 1px solid %5; }"
               "*[qbCompactInput=\"true\"] { background: %6; color: %2; border: 1px solid %3;"
               " border-radius: 7px; padding: 0px 8px; selection-background-color: %4; selection-color: "
               "white; }"
               "*[qbCompactInput=\"true\"]:focus { border: 1px solid %5; }"
               "QComboBox { background: %1; color: %2; border: 1px solid %3; border-radius: 8px;"
               " padding: 3px 4px 3px 9px; }"
               // The pop-up's arrow: the icon set's chevron on the field itself, not Fusion's grey button.
               "QComboBox::drop-down { border: none; width: 16px; subcontrol-position: center right; }"
               "QComboBox::down-arrow { image: url(:/qb/icons/chevron-down.svg); width: 10px; height: 10px; }"
               "QComboBox QAbstractItemView { background: %6; color: %2; border: 1px solid %3;"
               " selection-background-color: %7; selection-color: %2; }"
               "QProgressBar { background: %8; border: none; border-radius: 3px; max-height: 6px; }"
               "QProgressBar::chunk { background: %4; border-radius: 3px; }"
               "QScrollBar:vertical { background: transparent; width: 10px; margin: 2px; }"
               "QScrollBar::handle:vertical { background: %9; border-radius: 3px; min-height: 28px; }"
               "QScrollBar:horizontal { background: transparent; height: 10px; margin: 2px; }"
               "QScrollBar::handle:horizontal { background: %9; border-radius: 3px; min-width: 28px; }"
               "QScrollBar::add-line, QScrollBar::sub-line { width: 0; height: 0; }"
               "QScrollBar::add-page, QScrollBar::sub-page { background: none; }"
               "QToolTip { background: %6; color: %2; border: 1px solid %3; }")
        .arg(css(softWell()), css(inkPrimary()), css(hairline()), css(violet()), css(faded(violet(), 0.45)),
             css(cardBg()), css(lilacTint()), css(sandWell()), css(faded(inkPrimary(), 0.22)));
}

void applyLightLook(QApplication& app)
{
    app.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    app.setPalette(palette());
    app.setFont(font(13));
    app.setStyleSheet(styleSheet());
}

} // namespace QBTheme
