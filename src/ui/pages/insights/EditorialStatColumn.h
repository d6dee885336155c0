#pragma once

#include <QWidget>

// One figure of the insights page: a large serif value with its unit on the same baseline, and a label
// below. The texts are drawn as given.
class EditorialStatColumn final : public QWidget {
    Q_OBJECT
public:
    EditorialStatColumn(const QString& unit, const QString& label, bool highlight, QWidget* parent = nullptr);

    void setValue(const QString& value);
    const QString& value() const { return m_value; }
    const QString& unit() const { return m_unit; }
    const QString& label() const { return m_label; }
    QColor valueColor() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_value;
    QString m_unit;
    QString m_label;
    bool m_highlight;
};
