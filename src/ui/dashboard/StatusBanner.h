#pragma once

#include <QWidget>

class QLabel;
class QAbstractButton;

// The app-wide message line above the page: the latest status text until the user closes it.
class StatusBanner final : public QWidget {
    Q_OBJECT
public:
    explicit StatusBanner(QWidget* parent = nullptr);

    void setText(const QString& text);
    QString text() const;
    QAbstractButton* closeButton() const { return m_close; }

Q_SIGNALS:
    void closeRequested();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QLabel* m_text;
    QAbstractButton* m_close;
};
