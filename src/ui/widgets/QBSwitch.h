#pragma once

#include <QAbstractButton>

// A small on/off switch tinted with the accent; checkable, toggled() reports the user's flips.
class QBSwitch final : public QAbstractButton {
    Q_OBJECT
public:
    explicit QBSwitch(QWidget* parent = nullptr);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};
