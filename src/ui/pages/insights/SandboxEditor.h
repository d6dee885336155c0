#pragma once

#include <QWidget>

class QPlainTextEdit;

// The try-out box: a multi-line editor on a soft well with a placeholder beneath it while it is empty, and a
// border that turns violet while a dictation listens. Text set from outside is applied as the smallest edit
// that turns the old text into the new one, so the user's cursor and selection stay where they were.
class SandboxEditor final : public QWidget {
    Q_OBJECT
public:
    static constexpr int kMinimumHeight = 102;
    static constexpr int kMaximumHeight = 150;

    explicit SandboxEditor(QWidget* parent = nullptr);

    QPlainTextEdit* editor() const { return m_editor; }
    QString text() const;
    // Changes the editor's text to `text` without emitting textEdited.
    void setText(const QString& text);
    void setListening(bool listening);
    bool isListening() const { return m_listening; }
    bool showsPlaceholder() const;
    static QString placeholderText();

    QSize sizeHint() const override;

Q_SIGNALS:
    // The user changed the text.
    void textEdited(const QString& text);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPlainTextEdit* m_editor;
    bool m_listening = false;
    bool m_applying = false;
};
