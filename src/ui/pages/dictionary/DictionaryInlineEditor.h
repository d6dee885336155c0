#pragma once

#include "model/Models.h"

#include <QWidget>

class QBButton;
class QCheckBox;
class QComboBox;
class QGridLayout;
class QLineEdit;

// The inline editor of one lexicon entry: the pin toggle, the term, the aliases as text and the category,
// with delete, cancel and save. It holds the edit until the page saves or drops it.
class DictionaryInlineEditor final : public QWidget {
    Q_OBJECT
public:
    explicit DictionaryInlineEditor(QWidget* parent = nullptr);

    // Fills the fields from an entry's values.
    void setValues(const QString& term, const QString& aliases, LexiconCategory category, bool pinned);
    QString term() const;
    QString aliases() const;
    LexiconCategory category() const;
    bool isPinned() const;

    QLineEdit* termField() const { return m_term; }
    QLineEdit* aliasField() const { return m_aliases; }

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

Q_SIGNALS:
    // Save, also by Return in either field.
    void saveRequested();
    void cancelRequested();
    void removeRequested();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QCheckBox* m_pinned;
    QLineEdit* m_term;
    QLineEdit* m_aliases;
    QComboBox* m_category;
};

// A picker of the six categories, in the enum's order, labelled by their raw values.
QComboBox* makeCategoryPicker(QWidget* parent);
