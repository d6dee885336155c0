#pragma once

#include "ui/theme/QBIcons.h"
#include "ui/widgets/QBPill.h"

#include <QWidget>

class QBSwitch;
class QLabel;

// The small value views of the settings page, its engine cards and the first-run wizard. None keeps state:
// the caller sets what they show and acts on their signals.

// An icon drawn in a fixed square, tinted.
class QBIconView final : public QWidget {
    Q_OBJECT
public:
    QBIconView(QBIcon icon, qreal size, const QColor& color, QWidget* parent = nullptr, qreal frame = 0);
    void setIcon(QBIcon icon, const QColor& color, qreal stroke = 2.0);
    // A rounded square filled behind the icon.
    void setTile(const QColor& fill, qreal radius);
    QBIcon icon() const { return m_icon; }
    const QColor& color() const { return m_color; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QBIcon m_icon;
    qreal m_size;
    QColor m_color;
    qreal m_stroke = 2.0;
    QColor m_tileFill = Qt::transparent;
    qreal m_tileRadius = 0;
};

// A green halo and core while active, a faint grey dot otherwise; 14 × 14.
class EngineStatusDot final : public QWidget {
    Q_OBJECT
public:
    explicit EngineStatusDot(bool isActive = false, QWidget* parent = nullptr);
    void setActive(bool isActive);
    bool isActive() const { return m_active; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool m_active;
};

// A result line under a card: a probe result (red when it begins with "❌", green otherwise, at most two
// lines) or a warning (amber, wrapping without limit). Full width, plain text.
class QBInlineBanner final : public QWidget {
    Q_OBJECT
public:
    enum class Kind { probe, warn };
    static bool isError(const QString& message);

    QBInlineBanner(Kind kind, const QString& message = {}, QWidget* parent = nullptr);
    void setMessage(const QString& message);
    const QString& message() const { return m_message; }
    // The lines as drawn at the current width.
    QStringList shownLines() const;
    QColor textColor() const;
    QColor fillColor() const;

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QFont font() const;
    qreal paddingV() const;

    Kind m_kind;
    QString m_message;
};

// A labelled row: the label in a 78-pt column, then the control.
class QBMatrixControlRow final : public QWidget {
    Q_OBJECT
public:
    QBMatrixControlRow(const QString& label, QWidget* content, QWidget* parent = nullptr);
    QWidget* content() const { return m_content; }

private:
    QWidget* m_content;
};

// An icon tile, a title and a small switch at the trailing edge.
class CompactSwitchRow final : public QWidget {
    Q_OBJECT
public:
    CompactSwitchRow(QBIcon icon, const QString& title, QWidget* parent = nullptr);
    QBSwitch* toggle() const { return m_switch; }
    // Shows the bound value without emitting toggled().
    void setOn(bool on);
    bool isOn() const;

Q_SIGNALS:
    void toggled(bool on);

private:
    QBSwitch* m_switch;
};

// The configured pills of the settings controls.
namespace SettingsPills {
QBPill* presetPill(const QString& title, bool isActive, QWidget* parent = nullptr);
QBPill* engineStatusBadge(bool isActive, QWidget* parent = nullptr);
QBPill* keyStatusPill(bool isConfigured, bool keylessLocal, bool muted, QWidget* parent = nullptr);
QBPill* permissionBadge(const QString& title, bool ok, QWidget* parent = nullptr);
void updateEngineStatusBadge(QBPill* pill, bool isActive);
void updateKeyStatusPill(QBPill* pill, bool isConfigured, bool keylessLocal, bool muted);
} // namespace SettingsPills
