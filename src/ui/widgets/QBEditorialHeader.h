#pragma once

#include <QWidget>

// The header at the top of each dashboard page: a serif title with a monospaced badge on its baseline, an
// accent bar with the subtitle, and a strong rule. The texts are drawn as given.
class QBEditorialHeader final : public QWidget {
    Q_OBJECT
public:
    QBEditorialHeader(const QString& badge, const QString& title, const QString& subtitle,
                      QWidget* parent = nullptr);

    const QString& badge() const { return m_badge; }
    // A badge that carries a figure follows it.
    void setBadge(const QString& badge);
    const QString& title() const { return m_title; }
    const QString& subtitle() const { return m_subtitle; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_badge;
    QString m_title;
    QString m_subtitle;
};
